#!/usr/bin/env python3
"""List the SMB1/SMB2 messages in a pcap file, one line per message.

Reads classic pcap (Ethernet link type) directly, with no external libraries,
reassembles each TCP direction in sequence order and splits it into NetBIOS
session messages.  Frame numbers start at 1 and name the frame in which an SMB
message starts (for every message in the committed captures that is also the
frame in which it ends).

    list-smb.py FILE.pcap                  print the message list
    list-smb.py --ops FILE.pcap            print only the file operations
    list-smb.py --check [--dialect D] [--user DOM/user@WKS] [--expect OP]...
                FILE.pcap                  exit 1 unless all expectations hold

An operation is one of "TREE share", "READ name", "WRITE name", "MKDIR name",
"DELETE name", "RENAME old -> new", counted only when the server answered
with STATUS_SUCCESS.  Names have their leading backslash removed.
"""

import argparse
import struct
import sys

SMB2_COMMANDS = [
    "NEGOTIATE", "SESSION_SETUP", "LOGOFF", "TREE_CONNECT", "TREE_DISCONNECT",
    "CREATE", "CLOSE", "FLUSH", "READ", "WRITE", "LOCK", "IOCTL", "CANCEL",
    "ECHO", "QUERY_DIRECTORY", "CHANGE_NOTIFY", "QUERY_INFO", "SET_INFO",
    "OPLOCK_BREAK",
]

SMB1_COMMANDS = {
    0x00: "CREATE_DIRECTORY", 0x01: "DELETE_DIRECTORY", 0x04: "CLOSE",
    0x05: "FLUSH", 0x06: "DELETE", 0x07: "RENAME", 0x08: "QUERY_INFORMATION",
    0x10: "CHECK_DIRECTORY", 0x24: "LOCKING_ANDX", 0x25: "TRANSACTION",
    0x2B: "ECHO", 0x2E: "READ_ANDX", 0x2F: "WRITE_ANDX", 0x32: "TRANSACTION2",
    0x34: "FIND_CLOSE2", 0x71: "TREE_DISCONNECT", 0x72: "NEGOTIATE",
    0x73: "SESSION_SETUP_ANDX", 0x74: "LOGOFF_ANDX", 0x75: "TREE_CONNECT_ANDX",
    0xA0: "NT_TRANSACT", 0xA2: "NT_CREATE_ANDX", 0xA4: "NT_CANCEL",
    0xA5: "NT_RENAME",
}

SMB1_ANDX = {0x24, 0x2E, 0x2F, 0x73, 0x74, 0x75, 0xA2}

TRANS2_SUBCOMMANDS = {
    0x00: "OPEN2", 0x01: "FIND_FIRST2", 0x02: "FIND_NEXT2",
    0x03: "QUERY_FS_INFORMATION", 0x05: "QUERY_PATH_INFORMATION",
    0x06: "SET_PATH_INFORMATION", 0x07: "QUERY_FILE_INFORMATION",
    0x08: "SET_FILE_INFORMATION", 0x0D: "CREATE_DIRECTORY",
    0x10: "GET_DFS_REFERRAL",
}

SMB2_DIALECTS = {
    0x0202: "SMB2_02", 0x0210: "SMB2_10", 0x0300: "SMB3_00",
    0x0302: "SMB3_02", 0x0311: "SMB3_11", 0x02FF: "SMB2_FF",
}

NT_STATUS = {
    0x00000000: "STATUS_SUCCESS",
    0x00000103: "STATUS_PENDING",
    0x80000006: "STATUS_NO_MORE_FILES",
    0xC0000016: "STATUS_MORE_PROCESSING_REQUIRED",
    0xC0000022: "STATUS_ACCESS_DENIED",
    0xC0000034: "STATUS_OBJECT_NAME_NOT_FOUND",
    0xC0000035: "STATUS_OBJECT_NAME_COLLISION",
    0xC0000225: "STATUS_NOT_FOUND",
}

CREATE_DISPOSITIONS = ["SUPERSEDE", "OPEN", "CREATE", "OPEN_IF", "OVERWRITE",
                       "OVERWRITE_IF"]

FILE_DIRECTORY_FILE = 0x00000001
FILE_NON_DIRECTORY_FILE = 0x00000040
FILE_DELETE_ON_CLOSE = 0x00001000

# File information classes, also used by SMB1 as pass-through levels (+1000).
FILE_RENAME_INFORMATION = 10
FILE_DISPOSITION_INFORMATION = 13
SMB_SET_FILE_DISPOSITION_INFO = 0x102

NTLMSSP_TYPES = {1: "NEGOTIATE", 2: "CHALLENGE", 3: "AUTHENTICATE"}


def status_name(code):
    return NT_STATUS.get(code, "0x%08x" % code)


def utf16(data):
    return data.decode("utf-16-le", "replace")


def cut_at_nul(text):
    return text.split("\0", 1)[0]


def strip_slash(name):
    return name.lstrip("\\")


# ------------------------------------------------------------------ pcap ----

def read_pcap(path):
    """Yield (frame number, Ethernet frame bytes)."""
    with open(path, "rb") as f:
        data = f.read()
    magic = data[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
        endian = "<"
    elif magic in (b"\xa1\xb2\xc3\xd4", b"\xa1\xb2\x3c\x4d"):
        endian = ">"
    else:
        raise SystemExit("%s: not a classic pcap file" % path)
    linktype = struct.unpack(endian + "I", data[20:24])[0]
    if linktype != 1:
        raise SystemExit("%s: link type %d, expected Ethernet" % (path, linktype))
    pos, number = 24, 0
    while pos + 16 <= len(data):
        incl_len = struct.unpack(endian + "I", data[pos + 8:pos + 12])[0]
        number += 1
        yield number, data[pos + 16:pos + 16 + incl_len]
        pos += 16 + incl_len


def ones_complement_sum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def checksums_valid(ip, ihl, total):
    """True when both the IPv4 header and the TCP checksum verify."""
    if ones_complement_sum(ip[:ihl]) != 0xFFFF:
        return False
    tcp = ip[ihl:total]
    pseudo = ip[12:20] + struct.pack("!BBH", 0, 6, len(tcp))
    return ones_complement_sum(pseudo + tcp) == 0xFFFF


def tcp_segment(frame):
    """Return (src, sport, dst, dport, seq, flags, payload, checksums ok)
    or None for anything that is not TCP over IPv4."""
    ethertype = struct.unpack(">H", frame[12:14])[0]
    offset = 14
    while ethertype == 0x8100:
        ethertype = struct.unpack(">H", frame[offset + 2:offset + 4])[0]
        offset += 4
    if ethertype != 0x0800:
        return None
    ip = frame[offset:]
    ihl = (ip[0] & 0x0F) * 4
    total = struct.unpack(">H", ip[2:4])[0]
    if ip[9] != 6:
        return None
    src = ".".join(str(b) for b in ip[12:16])
    dst = ".".join(str(b) for b in ip[16:20])
    tcp = ip[ihl:total]
    sport, dport, seq = struct.unpack(">HHI", tcp[:8])
    data_offset = (tcp[12] >> 4) * 4
    return (src, sport, dst, dport, seq, tcp[13], tcp[data_offset:],
            checksums_valid(ip, ihl, total))


class Stream:
    """One direction of a TCP connection, cut into NetBIOS session messages."""

    def __init__(self):
        self.next_seq = None
        self.buffer = b""
        self.start_frame = None
        self.split = []  # frames in which a message ended that began earlier

    def feed(self, number, seq, flags, payload):
        if flags & 0x02:  # SYN consumes one sequence number
            self.next_seq = (seq + 1) & 0xFFFFFFFF
            return []
        if not payload:
            return []
        if self.next_seq is None:
            self.next_seq = seq
        skip = (self.next_seq - seq) & 0xFFFFFFFF
        if skip >= len(payload):  # retransmission of data already seen
            return []
        if skip:
            payload = payload[skip:]
        self.next_seq = (self.next_seq + len(payload)) & 0xFFFFFFFF
        if not self.buffer:
            self.start_frame = number
        self.buffer += payload
        messages = []
        while len(self.buffer) >= 4:
            length = struct.unpack(">I", self.buffer[:4])[0] & 0x00FFFFFF
            if len(self.buffer) < 4 + length:
                break
            if self.buffer[0] == 0:
                messages.append((self.start_frame, self.buffer[4:4 + length]))
                if self.start_frame != number:
                    self.split.append(number)
            self.buffer = self.buffer[4 + length:]
            self.start_frame = number
        return messages


def smb_messages(path, problems):
    """Yield (frame, src, dst, SMB message bytes) in capture order.  Frames
    with bad checksums and messages split over frames go to `problems`."""
    streams = {}
    for number, frame in read_pcap(path):
        seg = tcp_segment(frame)
        if seg is None:
            continue
        src, sport, dst, dport, seq, flags, payload, csum_ok = seg
        if not csum_ok:
            problems.append("frame %d: bad IPv4/TCP checksum" % number)
        key = (src, sport, dst, dport)
        stream = streams.setdefault(key, Stream())
        for start, message in stream.feed(number, seq, flags, payload):
            yield start, "%s:%d" % (src, sport), "%s:%d" % (dst, dport), message
    for stream in streams.values():
        problems.extend("frame %d: ends a message that began in an earlier frame"
                        % n for n in stream.split)


# --------------------------------------------------------------- NTLMSSP ----

def ntlmssp_fields(blob):
    """Decode the NTLMSSP message inside a security blob, or return None."""
    start = blob.find(b"NTLMSSP\0")
    if start < 0:
        return None
    msg = blob[start:]
    mtype = struct.unpack("<I", msg[8:12])[0]

    def field(off, unicode):
        length, _, where = struct.unpack("<HHI", msg[off:off + 8])
        raw = msg[where:where + length]
        return utf16(raw) if unicode else raw.decode("latin-1")

    info = {"type": NTLMSSP_TYPES.get(mtype, str(mtype))}
    if mtype == 1:
        info["flags"] = struct.unpack("<I", msg[12:16])[0]
    elif mtype == 2:
        flags = struct.unpack("<I", msg[20:24])[0]
        info["flags"] = flags
        info["target"] = field(12, flags & 1)
    elif mtype == 3:
        flags = struct.unpack("<I", msg[60:64])[0]
        unicode = flags & 1
        info["flags"] = flags
        info["domain"] = field(28, unicode)
        info["user"] = field(36, unicode)
        info["workstation"] = field(44, unicode)
        nt_len = struct.unpack("<H", msg[20:22])[0]
        info["ntlm"] = "NTLMv2" if nt_len > 24 else "NTLMv1"
    return info


def describe_ntlmssp(info):
    if info is None:
        return ""
    text = " ntlmssp=%s flags=0x%08x" % (info["type"], info["flags"])
    if info["type"] == "CHALLENGE":
        text += " target=%r" % info["target"]
    if info["type"] == "AUTHENTICATE":
        text += " domain=%r user=%r workstation=%r %s" % (
            info["domain"], info["user"], info["workstation"], info["ntlm"])
    return text


# ------------------------------------------------------------------ SMB2 ----

def create_context_names(data):
    """Names of the create contexts chained in a CREATE request."""
    names, pos = [], 0
    while pos + 16 <= len(data):
        nxt, noff, nlen = struct.unpack("<IHH", data[pos:pos + 8])
        names.append(data[pos + noff:pos + noff + nlen].decode("latin-1"))
        if not nxt:
            break
        pos += nxt
    return names


class Smb2Decoder:
    """Decodes SMB2 messages and derives file operations from them."""

    def __init__(self, session):
        self.s = session
        self.pending = {}   # message id -> (frame, command, request details)
        self.files = {}     # file id -> name opened
        self.trees = {}     # message id -> share path (tree connect)

    def decode(self, frame, src, dst, msg):
        pos = 0
        while True:
            header = msg[pos:pos + 64]
            next_cmd = struct.unpack("<I", header[20:24])[0]
            body = msg[pos + 64:pos + next_cmd] if next_cmd else msg[pos + 64:]
            self.decode_one(frame, src, dst, msg[pos:], header, body)
            if not next_cmd:
                break
            pos += next_cmd

    def decode_one(self, frame, src, dst, whole, hdr, body):
        status, command = struct.unpack("<IH", hdr[8:14])
        flags = struct.unpack("<I", hdr[16:20])[0]
        mid = struct.unpack("<Q", hdr[24:32])[0]
        response = bool(flags & 1)
        name = SMB2_COMMANDS[command] if command < len(SMB2_COMMANDS) else str(command)
        if response and status == 0x103:  # interim answer, the real one follows
            return
        line = "%-5d %s -> %s SMB2 %-15s %s mid=%d" % (
            frame, src, dst, name, "rsp" if response else "req", mid)
        if not flags & 0x2:
            line += " tid=0x%x" % struct.unpack("<I", hdr[36:40])[0]
        if flags & 0x8:
            line += " SIGNED"
        if flags & 0x4:
            line += " RELATED"
        if response:
            line += " status=%s" % status_name(status)
            line += self.response_details(command, mid, status, whole, body)
        else:
            line += self.request_details(frame, command, mid, whole, body)
        self.s.lines.append(line)

    # Offsets in requests and responses are relative to the SMB2 header,
    # which is the start of `whole`.
    def request_details(self, frame, command, mid, whole, body):
        detail = ""
        pending = {}
        if command == 0:
            count = struct.unpack("<H", body[2:4])[0]
            dialects = struct.unpack("<%dH" % count, body[36:36 + 2 * count])
            detail = " dialects=" + ",".join(
                SMB2_DIALECTS.get(d, "0x%04x" % d) for d in dialects)
        elif command == 1:
            off, length = struct.unpack("<HH", body[12:16])
            info = ntlmssp_fields(whole[off:off + length])
            detail = describe_ntlmssp(info)
            self.s.note_ntlmssp(info)
        elif command == 3:
            off, length = struct.unpack("<HH", body[4:8])
            path = utf16(whole[off:off + length])
            detail = " path=%r" % path
            pending["share"] = path.rsplit("\\", 1)[-1]
        elif command == 5:
            access, attrs, share, disp, opts, noff, nlen = struct.unpack(
                "<IIIIIHH", body[24:48])
            fname = utf16(whole[noff:noff + nlen]) if nlen else ""
            detail = (" name=%r access=0x%08x attrs=0x%08x share=0x%08x "
                      "disposition=%s options=0x%08x oplock=0x%02x" % (
                          fname, access, attrs, share,
                          CREATE_DISPOSITIONS[disp] if disp < 6 else disp, opts,
                          body[3]))
            coff, clen = struct.unpack("<II", body[48:56])
            contexts = create_context_names(whole[coff:coff + clen])
            if contexts:
                detail += " contexts=" + ",".join(contexts)
            pending.update(name=fname, disposition=disp, options=opts)
        elif command in (6, 8, 9):
            fid_at = {6: 8, 8: 16, 9: 16}[command]
            fid = body[fid_at:fid_at + 16]
            pending["fid"] = fid
            detail = " file=%r" % self.files.get(fid, "?")
            if command in (8, 9):
                length, offset = struct.unpack("<IQ", body[4:16])
                detail += " length=%d offset=%d" % (length, offset)
        elif command == 0xB:
            ctl = struct.unpack("<I", body[4:8])[0]
            detail = " ctl_code=0x%08x" % ctl
        elif command == 0xE:
            klass, qflags = body[2], body[3]
            fid = body[8:24]
            noff, nlen = struct.unpack("<HH", body[24:28])
            detail = " dir=%r class=%d flags=0x%02x pattern=%r" % (
                self.files.get(fid, "?"), klass, qflags,
                utf16(whole[noff:noff + nlen]))
        elif command == 0x10:
            itype, klass = body[2], body[3]
            fid = body[24:40]
            detail = " file=%r info_type=%d class=%d" % (
                self.files.get(fid, "?"), itype, klass)
        elif command == 0x11:
            itype, klass = body[2], body[3]
            blen, boff = struct.unpack("<IH", body[4:10])
            fid = body[16:32]
            buf = whole[boff:boff + blen]
            fname = self.files.get(fid, "?")
            detail = " file=%r info_type=%d class=%d" % (fname, itype, klass)
            pending.update(fid=fid, info_class=klass if itype == 1 else None)
            if itype == 1 and klass == FILE_RENAME_INFORMATION:
                replace = buf[0]
                nlen = struct.unpack("<I", buf[16:20])[0]
                new = utf16(buf[20:20 + nlen])
                detail += " FileRenameInformation replace=%d new_name=%r" % (
                    replace, new)
                pending["new_name"] = new
            elif itype == 1 and klass == FILE_DISPOSITION_INFORMATION:
                detail += " FileDispositionInformation delete=%d" % buf[0]
                pending["delete"] = buf[0]
        self.pending[mid] = (frame, command, pending)
        return detail

    def response_details(self, command, mid, status, whole, body):
        frame, _, req = self.pending.pop(mid, (None, None, {}))
        ok = status == 0
        detail = ""
        if command == 0 and ok:
            dialect = struct.unpack("<H", body[4:6])[0]
            name = SMB2_DIALECTS.get(dialect, "0x%04x" % dialect)
            detail = " dialect=%s security_mode=0x%02x" % (name, body[2])
            self.s.dialect = name
        elif command == 1:
            off, length = struct.unpack("<HH", body[4:8])
            info = ntlmssp_fields(whole[off:off + length])
            detail = describe_ntlmssp(info)
            if ok:
                detail += " session_flags=0x%04x" % struct.unpack("<H", body[2:4])[0]
        elif command == 3 and ok:
            self.s.op(frame, "TREE %s" % req["share"])
        elif command == 5 and ok:
            action = struct.unpack("<I", body[4:8])[0]
            fid = body[64:80]
            self.files[fid] = req["name"]
            detail = " file=%r action=%d oplock=0x%02x" % (
                req["name"], action, body[2])
            opts, disp = req["options"], req["disposition"]
            if opts & FILE_DELETE_ON_CLOSE:
                self.s.op(frame, "DELETE %s" % req["name"])
            elif opts & FILE_DIRECTORY_FILE and disp == 2:
                self.s.op(frame, "MKDIR %s" % req["name"])
        elif command in (6, 8, 9):
            detail = " file=%r" % self.files.get(req.get("fid"), "?")
            if ok and command == 8:
                self.s.op(frame, "READ %s" % self.files.get(req["fid"], "?"))
            if ok and command == 9:
                self.s.op(frame, "WRITE %s" % self.files.get(req["fid"], "?"))
        elif command == 0x11 and ok:
            fname = self.files.get(req.get("fid"), "?")
            if "new_name" in req:
                self.s.op(frame, "RENAME %s -> %s" % (fname, req["new_name"]))
            elif req.get("delete"):
                self.s.op(frame, "DELETE %s" % fname)
        return detail


# ------------------------------------------------------------------ SMB1 ----

class Smb1Decoder:
    """Decodes SMB1 messages and derives file operations from them."""

    def __init__(self, session):
        self.s = session
        self.pending = {}   # mid -> (frame, command, request details)
        self.files = {}     # fid -> name opened
        self.dialects = []

    @staticmethod
    def string(msg, pos, unicode):
        """A NUL-terminated string at pos; Unicode strings are 2-aligned
        relative to the SMB header.  Returns (text, position after it)."""
        if unicode:
            if pos % 2:
                pos += 1
            end = pos
            while end + 1 < len(msg) and msg[end:end + 2] != b"\0\0":
                end += 2
            return utf16(msg[pos:end]), end + 2
        end = msg.find(b"\0", pos)
        end = len(msg) if end < 0 else end
        return msg[pos:end].decode("latin-1"), end + 1

    def decode(self, frame, src, dst, msg):
        command = msg[4]
        status = struct.unpack("<I", msg[5:9])[0]
        flags, flags2 = msg[9], struct.unpack("<H", msg[10:12])[0]
        mid = struct.unpack("<H", msg[30:32])[0]
        response = bool(flags & 0x80)
        unicode = bool(flags2 & 0x8000)
        pos = 32
        while True:
            wc = msg[pos]
            words = msg[pos + 1:pos + 1 + 2 * wc]
            bc_at = pos + 1 + 2 * wc
            bcount = struct.unpack("<H", msg[bc_at:bc_at + 2])[0]
            bytes_at = bc_at + 2
            name = SMB1_COMMANDS.get(command, "0x%02x" % command)
            line = "%-5d %s -> %s SMB1 %-18s %s mid=%d tid=0x%x" % (
                frame, src, dst, name, "rsp" if response else "req", mid,
                struct.unpack("<H", msg[24:26])[0])
            if flags2 & 0x0004:
                line += " SIGNED"
            if response:
                line += " status=%s" % status_name(status)
                line += self.response_details(command, mid, status, msg, words,
                                              bytes_at, bcount)
            else:
                line += self.request_details(frame, command, mid, msg, words,
                                             bytes_at, bcount, unicode)
            self.s.lines.append(line)
            if command not in SMB1_ANDX or wc == 0 or words[0] == 0xFF:
                break
            command = words[0]
            pos = struct.unpack("<H", words[2:4])[0]

    def request_details(self, frame, command, mid, msg, words, at, bcount,
                        unicode):
        detail, req = "", {}
        if command == 0x72:
            raw = msg[at:at + bcount]
            self.dialects = [d.decode("latin-1")
                             for d in raw.split(b"\x02")[1:]]
            self.dialects = [d.rstrip("\0") for d in self.dialects]
            detail = " dialects=" + ",".join(self.dialects)
        elif command == 0x73:
            blob_len = struct.unpack("<H", words[14:16])[0]
            info = ntlmssp_fields(msg[at:at + blob_len])
            detail = describe_ntlmssp(info)
            self.s.note_ntlmssp(info)
        elif command == 0x75:
            pw_len = struct.unpack("<H", words[6:8])[0]
            path, after = self.string(msg, at + pw_len, unicode)
            service, _ = self.string(msg, after, False)
            detail = " path=%r service=%r" % (path, service)
            req["share"] = path.rsplit("\\", 1)[-1]
        elif command == 0xA2:
            (flags, root, access, _alloc, attrs, share, disp, opts,
             _imp) = struct.unpack("<IIIQIIIII", words[7:47])
            fname, _ = self.string(msg, at, unicode)
            detail = (" name=%r flags=0x%08x access=0x%08x attrs=0x%08x "
                      "share=0x%08x disposition=%s options=0x%08x" % (
                          fname, flags, access, attrs, share,
                          CREATE_DISPOSITIONS[disp] if disp < 6 else disp, opts))
            req.update(name=fname, options=opts, disposition=disp)
        elif command in (0x04, 0x2E, 0x2F):
            fid_at = 0 if command == 0x04 else 4
            fid = struct.unpack("<H", words[fid_at:fid_at + 2])[0]
            req["fid"] = fid
            detail = " fid=0x%04x file=%r" % (fid, self.files.get(fid, "?"))
            if command == 0x2E:
                offset, length = struct.unpack("<IH", words[6:12])
                detail += " length=%d offset=%d" % (length, offset)
            elif command == 0x2F:
                offset = struct.unpack("<I", words[6:10])[0]
                length = struct.unpack("<H", words[20:22])[0]
                detail += " length=%d offset=%d" % (length, offset)
        elif command in (0x00, 0x01, 0x06, 0x10):
            fname, _ = self.string(msg, at + 1, unicode)  # skip buffer format
            detail = " name=%r" % fname
            if command == 0x06:
                detail += " search_attributes=0x%04x" % struct.unpack(
                    "<H", words[0:2])[0]
            req["name"] = fname
        elif command in (0x07, 0xA5):
            old, after = self.string(msg, at + 1, unicode)
            new, _ = self.string(msg, after + 1, unicode)
            detail = " old=%r new=%r" % (old, new)
            if command == 0xA5:
                detail += " info_level=0x%04x" % struct.unpack(
                    "<H", words[2:4])[0]
            detail += " search_attributes=0x%04x" % struct.unpack(
                "<H", words[0:2])[0]
            req.update(name=old, new_name=new)
        elif command == 0x32:
            detail = self.trans2_request(msg, words, unicode, req)
        self.pending[mid] = (frame, command, req)
        return detail

    def trans2_request(self, msg, words, unicode, req):
        pcount, poff, dcount, doff = struct.unpack("<HHHH", words[18:26])
        sub = struct.unpack("<H", words[28:30])[0]
        params = msg[poff:poff + pcount]
        data = msg[doff:doff + dcount]
        req["sub"] = sub
        detail = " %s" % TRANS2_SUBCOMMANDS.get(sub, "0x%02x" % sub)
        if sub == 0x01:
            level = struct.unpack("<H", params[6:8])[0]
            pattern, _ = self.string(msg, poff + 12, unicode)
            detail += " level=0x%04x pattern=%r" % (level, pattern)
        elif sub in (0x05, 0x06):
            level = struct.unpack("<H", params[0:2])[0]
            fname, _ = self.string(msg, poff + 6, unicode)
            detail += " level=0x%04x name=%r" % (level, fname)
            req.update(name=fname, level=level, data=data)
        elif sub in (0x07, 0x08):
            fid, level = struct.unpack("<HH", params[0:4])
            fname = self.files.get(fid, "?")
            detail += " fid=0x%04x file=%r level=0x%04x" % (fid, fname, level)
            req.update(name=fname, level=level, data=data)
        elif sub == 0x0D:
            fname, _ = self.string(msg, poff + 4, unicode)
            detail += " name=%r" % fname
            req["name"] = fname
        elif sub == 0x10:
            fname, _ = self.string(msg, poff + 2, unicode)
            detail += " name=%r" % fname
        if sub in (0x06, 0x08):
            level = req["level"]
            if level == 1000 + FILE_RENAME_INFORMATION:
                nlen = struct.unpack("<I", data[8:12])[0]
                req["new_name"] = utf16(data[12:12 + nlen])
                detail += " FileRenameInformation new_name=%r" % req["new_name"]
            elif level in (1000 + FILE_DISPOSITION_INFORMATION,
                           SMB_SET_FILE_DISPOSITION_INFO):
                req["delete"] = data[0]
                detail += " FileDispositionInformation delete=%d" % data[0]
        return detail

    def response_details(self, command, mid, status, msg, words, at, bcount):
        frame, _, req = self.pending.pop(mid, (None, None, {}))
        ok = status == 0
        detail = ""
        if command == 0x72 and ok:
            index = struct.unpack("<H", words[0:2])[0]
            name = self.dialects[index] if index < len(self.dialects) else "?"
            detail = " dialect_index=%d (%s)" % (index, name)
            # Both strings name the NT LM 0.12 dialect; smbd picks the first
            # one the client offers.
            nt1 = name in ("NT LM 0.12", "NT LANMAN 1.0")
            self.s.dialect = "NT1" if nt1 else name
        elif command == 0x73:
            blob_len = struct.unpack("<H", words[6:8])[0] if len(words) >= 8 else 0
            info = ntlmssp_fields(msg[at:at + blob_len])
            detail = describe_ntlmssp(info)
            if ok:
                detail += " uid=%d" % struct.unpack("<H", msg[28:30])[0]
        elif command == 0x75 and ok:
            self.s.op(frame, "TREE %s" % req["share"])
        elif command == 0xA2 and ok:
            fid, action = struct.unpack("<HI", words[5:11])
            self.files[fid] = req["name"]
            detail = " fid=0x%04x file=%r action=%d" % (fid, req["name"], action)
            opts, disp = req["options"], req["disposition"]
            if opts & FILE_DELETE_ON_CLOSE:
                self.s.op(frame, "DELETE %s" % req["name"])
            elif opts & FILE_DIRECTORY_FILE and disp == 2:
                self.s.op(frame, "MKDIR %s" % req["name"])
        elif command in (0x04, 0x2E, 0x2F):
            fname = self.files.get(req.get("fid"), "?")
            detail = " file=%r" % fname
            if ok and command == 0x2E:
                self.s.op(frame, "READ %s" % fname)
            if ok and command == 0x2F:
                self.s.op(frame, "WRITE %s" % fname)
        elif command == 0x00 and ok:
            self.s.op(frame, "MKDIR %s" % req["name"])
        elif command == 0x06 and ok:
            self.s.op(frame, "DELETE %s" % req["name"])
        elif command in (0x07, 0xA5) and ok:
            self.s.op(frame, "RENAME %s -> %s" % (req["name"], req["new_name"]))
        elif command == 0x32 and ok:
            if req.get("sub") == 0x0D:
                self.s.op(frame, "MKDIR %s" % req["name"])
            elif "new_name" in req:
                self.s.op(frame, "RENAME %s -> %s" % (req["name"], req["new_name"]))
            elif req.get("delete"):
                self.s.op(frame, "DELETE %s" % req["name"])
        return detail


# --------------------------------------------------------------- session ----

class Capture:
    """Everything learned from one capture file."""

    def __init__(self, path):
        self.lines = []
        self.ops = []
        self.users = []
        self.dialect = None
        self.problems = []
        smb2, smb1 = Smb2Decoder(self), Smb1Decoder(self)
        for frame, src, dst, msg in smb_messages(path, self.problems):
            if msg[:4] == b"\xfeSMB":
                smb2.decode(frame, src, dst, msg)
            elif msg[:4] == b"\xffSMB":
                smb1.decode(frame, src, dst, msg)
            else:
                self.lines.append("%-5d %s -> %s non-SMB message %r" % (
                    frame, src, dst, msg[:4]))

    def op(self, frame, text):
        # Operations name the frame of the request that asked for them.
        parts = text.split(" ", 1)
        if len(parts) == 2:
            names = [strip_slash(n) for n in parts[1].split(" -> ")]
            text = parts[0] + " " + " -> ".join(names)
        self.ops.append((frame, text))

    def note_ntlmssp(self, info):
        if info and info["type"] == "AUTHENTICATE":
            self.users.append("%s/%s@%s" % (
                info["domain"], info["user"], info["workstation"]))


def check(capture, args):
    failures = list(capture.problems)
    if args.dialect and capture.dialect != args.dialect:
        failures.append("dialect %s, expected %s" % (capture.dialect, args.dialect))
    if args.user and args.user not in capture.users:
        failures.append("NTLM user %s not found (saw %s)" % (
            args.user, ", ".join(capture.users) or "none"))
    seen = [text.lower() for _, text in capture.ops]
    for want in args.expect:
        if want.lower() not in seen:
            failures.append("operation %r not found" % want)
    for failure in failures:
        print("%s: %s" % (args.pcap, failure), file=sys.stderr)
    return not failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("pcap")
    parser.add_argument("--ops", action="store_true",
                        help="print only the file operations")
    parser.add_argument("--check", action="store_true",
                        help="check expectations instead of printing")
    parser.add_argument("--dialect", help="expected dialect, e.g. SMB3_11, NT1")
    parser.add_argument("--user", help="expected NTLM DOMAIN/user@WORKSTATION")
    parser.add_argument("--expect", action="append", default=[],
                        help="expected operation, e.g. 'DELETE old.txt'")
    args = parser.parse_args()
    capture = Capture(args.pcap)
    if args.check:
        return 0 if check(capture, args) else 1
    if args.ops:
        print("dialect %s" % capture.dialect)
        for user in capture.users:
            print("user %s" % user)
        for frame, text in capture.ops:
            print("%-5d %s" % (frame, text))
        return 0
    print("\n".join(capture.lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
