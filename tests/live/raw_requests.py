#!/usr/bin/python3
"""Sends one kind of SMB request that stock clients rarely send, built field by field,
to the lab's server, and prints what the client was answered: "ok" or the NT status name.
Then prints "alive" when the session still answers a directory listing.

usage: raw_requests.py SERVER_IP USER PASSWORD OPERATION
Runs inside the lab's client namespace (impacket from Debian's python3-impacket).
"""
import struct
import sys

from impacket import nt_errors, smb, smb3
from impacket.smbconnection import SMBConnection, SessionError

SHARE = "docs"
FILE_READ_DATA, FILE_WRITE_DATA, DELETE = 0x1, 0x2, 0x10000
SHARE_ALL = 7
FILE_OPEN, FILE_CREATE, FILE_OVERWRITE_IF = 1, 2, 5


class Denied(Exception):
    pass


def status_name(code):
    return nt_errors.ERROR_MESSAGES.get(code, ("0x%08X" % code,))[0]


KEEP_ALIVE = b"\x85\x00\x00\x00"


def netbios(message):
    return b"\x00" + struct.pack(">I", len(message))[1:] + message


def in_one_write(session, send_all):
    """Runs `send_all`, whose messages the client would send one by one, and puts them on
    the wire in one TCP write behind a NetBIOS keep-alive: the guard sees them in one
    segment."""
    held = []
    session.send_packet = held.append
    try:
        result = send_all()
    finally:
        del session.send_packet
    session._sock.sendall(KEEP_ALIVE + b"".join(netbios(m) for m in held))
    return result


class Smb1:
    """Raw SMB1 requests on an impacket session: words and bytes as given."""

    def __init__(self, conn):
        self.s = conn.getSMBServer()
        self.tid = conn.connectTree(SHARE)
        self.unicode = bool(self.s.get_flags()[1] & smb.SMB.FLAGS2_UNICODE)

    def name(self, text, at):
        """A name whose first byte lands at header offset `at`, with its pad byte."""
        if not self.unicode:
            return text.encode("ascii") + b"\0"
        return (b"\0" if at % 2 else b"") + (text + "\0").encode("utf-16le")

    def send_only(self, command, words=b"", data=b""):
        packet = smb.NewSMBPacket()
        packet["Tid"] = self.tid
        cmd = smb.SMBCommand(command)
        cmd["Parameters"] = words
        cmd["Data"] = data
        packet.addCommand(cmd)
        self.s.sendSMB(packet)

    def answer(self):
        """The raw answer; raises Denied for a failure status."""
        raw = self.s.recvSMB().getData()
        status = struct.unpack("<I", raw[5:9])[0]
        if status != 0:
            raise Denied(status_name(status))
        return raw

    def send(self, command, words=b"", data=b""):
        self.send_only(command, words, data)
        return self.answer()

    def echo_then(self, command, words, data):
        """An ECHO and then `command`, in one segment; raises Denied for the command's
        answer."""
        def send_all():
            self.send_only(smb.SMB.SMB_COM_ECHO, struct.pack("<H", 1), b"echo")
            self.send_only(command, words, data)
        in_one_write(self.s._sess, send_all)
        self.s.recvSMB()  # the echo
        self.answer()

    def data_at(self, words):
        return 32 + 1 + len(words) + 2

    def path_command(self, command, words, path):
        prefix = b"\x04"
        return self.send(command, words,
                         prefix + self.name(path, self.data_at(words) + len(prefix)))

    def nt_create(self, path, access, disposition):
        return self.s.nt_create_andx(self.tid, path, accessMask=access, disposition=disposition,
                                     shareAccessMode=SHARE_ALL)

    def trans2(self, subcommand, parameters, data=b""):
        words_len = 15 * 2
        offset = 32 + 1 + words_len + 2 + 1
        words = struct.pack("<HHHHBBHIHHHHHBBH", len(parameters), len(data), 64, 4096, 0, 0,
                            0, 0, 0, len(parameters), offset, len(data),
                            offset + len(parameters), 1, 0, subcommand)
        return self.send(smb.SMB.SMB_COM_TRANSACTION2, words, b"\0" + parameters + data)

    def trans2_name(self, text):
        return (text + "\0").encode("utf-16le") if self.unicode else text.encode() + b"\0"

    def nt_transact_create(self, path, access, disposition):
        name = (path).encode("utf-16le") if self.unicode else path.encode()
        params = struct.pack("<IIIQIIIIIIIIB", 0, 0, access, 0, 0x80, SHARE_ALL, disposition, 0,
                             0, 0, len(name), 2, 0)
        params += (b"\0" if self.unicode else b"") + name
        words_len = 19 * 2
        offset = (32 + 1 + words_len + 2 + 1) & ~1
        pad = offset - (32 + 1 + words_len + 2)
        words = struct.pack("<BHIIIIIIIIBH", 0, 0, len(params), 0, 4096, 0, len(params), offset,
                            0, offset + len(params), 0, 1)
        return self.send(0xA0, words, b"\0" * pad + params)


    def chain(self, commands, tid=None):
        """Sends several commands as one AndX chain. Each is (command, build), where
        build(start) gives the words and bytes of a command whose WordCount byte lies at
        header offset `start`; the AndX fields (the first four bytes of the words of every
        command but the last) are filled in here."""
        blocks = []
        start = 32
        for command, build in commands:
            words, data = build(start)
            blocks.append([command, bytearray(words), data, start])
            start += 1 + len(words) + 2 + len(data)
        for block, following in zip(blocks, blocks[1:]):
            block[1][0:4] = struct.pack("<BBH", following[0], 0, following[3])
        packet = smb.NewSMBPacket()
        packet["Tid"] = self.tid if tid is None else tid
        for i, (command, words, data, _) in enumerate(blocks):
            cmd = smb.SMBCommand(command)
            cmd["Parameters"] = bytes(words)
            cmd["Data"] = data
            if i == 0:
                packet.addCommand(cmd)
            else:
                packet["Data"].append(cmd)
        self.s.sendSMB(packet)
        raw = self.s.recvSMB().getData()
        status = struct.unpack("<I", raw[5:9])[0]
        if status != 0:
            raise Denied(status_name(status))
        return raw

    def nt_create_andx(self, path, access, disposition):
        def build(start):
            name = self.name(path, start + 1 + 48 + 2)
            words = struct.pack("<BBHBHIIIQIIIIIB", 0xFF, 0, 0, 0, len(name), 0, 0, access, 0,
                                0x80, SHARE_ALL, disposition, 0x40, 2, 0)
            return words, name
        return (smb.SMB.SMB_COM_NT_CREATE_ANDX, build)

    def write_andx(self, fid, data, offset=0):
        def build(start):
            data_at = start + 1 + 28 + 2 + 1  # after a pad byte
            words = struct.pack("<BBHHIIHHHHHI", 0xFF, 0, 0, fid, offset, 0, 0, 0, 0, len(data),
                                data_at, 0)
            return words, b"\0" + data
        return (smb.SMB.SMB_COM_WRITE_ANDX, build)

    def core_write(self, fid, data):
        words = struct.pack("<HHIH", fid, len(data), 0, 0)
        data = b"\x01" + struct.pack("<H", len(data)) + data
        return (smb.SMB.SMB_COM_WRITE, lambda start: (words, data))

    def close_command(self, fid):
        return (smb.SMB.SMB_COM_CLOSE, lambda start: (struct.pack("<HI", fid, 0), b""))

    def tree_connect_andx(self, share):
        def build(start):
            data_at = start + 1 + 8 + 2
            path = self.name("\\\\192.0.2.1\\" + share.upper(), data_at + 1)
            words = struct.pack("<BBHHH", 0xFF, 0, 0, 0, 1)
            return words, b"\0" + path + b"?????\0"
        return (smb.SMB.SMB_COM_TREE_CONNECT_ANDX, build)


class Smb2Compound:
    """Raw SMB2 compounds on an impacket session: members built field by field, sent as
    one message, and the status of each answer."""

    RELATED = 0x00000004
    ALL_ONES = b"\xff" * 16

    def __init__(self, conn, tid):
        self.c = conn
        self.tid = tid

    def header(self, command, related):
        mid = self.c._Connection["SequenceWindow"]
        self.c._Connection["SequenceWindow"] += 1
        return struct.pack("<4sHHIHHIIQIIQ16s", b"\xfeSMB", 64, 1, 0, command, 1,
                           self.RELATED if related else 0, 0, mid, 0, self.tid,
                           self.c._Session["SessionID"], b"")

    def create(self, name, access, disposition=FILE_OPEN):
        encoded = name.encode("utf-16le")
        body = struct.pack("<HBBIQQIIIIIHHII", 57, 0, 0, 2, 0, 0, access, 0x80, SHARE_ALL,
                           disposition, 0x40, 64 + 56, len(encoded), 0, 0)
        return (smb3.SMB2_CREATE, False, body + encoded)

    def write(self, data, file_id=None):
        body = struct.pack("<HHIQ16sIIHHI", 49, 64 + 48, len(data), 0,
                           file_id or self.ALL_ONES, 0, 0, 0, 0, 0)
        return (smb3.SMB2_WRITE, file_id is None, body + data)

    def close(self):
        return (smb3.SMB2_CLOSE, True, struct.pack("<HHI16s", 24, 0, 0, self.ALL_ONES))

    def set_info(self, info_class, blob, file_id=None):
        body = struct.pack("<HBBIHHI16s", 33, smb3.SMB2_0_INFO_FILE, info_class, len(blob),
                           64 + 32, 0, 0, file_id or self.ALL_ONES)
        return (smb3.SMB2_SET_INFO, file_id is None, body + blob)

    def ioctl(self, code, data):
        body = struct.pack("<HHI16sIIIIIIII", 57, 0, code, self.ALL_ONES, 64 + 56, len(data), 0,
                           64 + 56 + len(data), 0, 64, smb3.SMB2_0_IOCTL_IS_FSCTL, 0)
        return (smb3.SMB2_IOCTL, True, body + data)

    def send(self, members):
        """Sends the members as one compound; raises Denied with the first failure, or
        with every status when a later member failed otherwise than the first."""
        message = b""
        for i, (command, related, body) in enumerate(members):
            member = self.header(command, related) + body
            if i + 1 < len(members):
                member += b"\0" * (-len(member) % 8)
                member = member[:20] + struct.pack("<I", len(member)) + member[24:]
            message += member
        self.c._NetBIOSSession.send_packet(message)
        answer = self.c._NetBIOSSession.recv_packet(self.c._timeout).get_trailer()
        statuses = []
        while True:
            statuses.append(struct.unpack("<I", answer[8:12])[0])
            following = struct.unpack("<I", answer[20:24])[0]
            if following == 0:
                break
            answer = answer[following:]
        failures = [code for code in statuses if code != 0]
        if failures and any(code != failures[0] for code in failures):
            raise Denied("/".join(status_name(code) for code in statuses))
        if failures:
            raise Denied(status_name(failures[0]))


def rename_info1(new_name, replace=0):
    """SMB1 pass-through rename or link information: ReplaceIfExists (a byte, or the
    flags word of the extended levels), the root, the name in the session's encoding."""
    def data(c):
        name = new_name.encode("utf-16le" if c.unicode else "ascii")
        return struct.pack("<III", replace, 0, len(name)) + name
    return data


def rename_info2(new_name, replace=0):
    """SMB2 rename or link information: ReplaceIfExists (a byte, or the flags word of the
    extended classes), the root, the name."""
    name = new_name.encode("utf-16le")
    return struct.pack("<I4sQI", replace, b"", 0, len(name)) + name


def smb1_ops():
    def delete(c, path="\\old.txt"):
        c.path_command(smb.SMB.SMB_COM_DELETE, struct.pack("<H", 0x16), path)

    def echo_then_delete(c):
        words = struct.pack("<H", 0x16)
        c.echo_then(smb.SMB.SMB_COM_DELETE, words,
                    b"\x04" + c.name("\\old.txt", c.data_at(words) + 1))

    def write_with(command):
        def op(c):
            fid = c.nt_create("readme.txt", FILE_WRITE_DATA, FILE_OPEN)
            data = b"XXXX"
            if command == smb.SMB.SMB_COM_WRITE_AND_CLOSE:
                words = struct.pack("<HHII", fid, len(data), 0, 0)
                c.send(command, words, b"\0" + data)
            elif command == smb.SMB.SMB_COM_WRITE_RAW:
                words = struct.pack("<HHHIIHIHH", fid, len(data), 0, 0, 0, 0, 0, len(data),
                                    32 + 1 + 24 + 2)
                c.send(command, words, data)
            else:
                words = struct.pack("<HHIH", fid, len(data), 0, 0)
                c.send(command, words, b"\x01" + struct.pack("<H", len(data)) + data)
        return op

    def set_file(level, data, access=FILE_WRITE_DATA):
        def op(c):
            renames = (1010, 1011, 1065, 1072)
            fid = c.nt_create("draft.txt" if level in renames else "readme.txt", access,
                              FILE_OPEN)
            c.trans2(0x08, struct.pack("<HHH", fid, level, 0),
                     data(c) if callable(data) else data)
        return op

    def open_andx(path, open_function, access_mode=1):
        def op(c):
            words = struct.pack("<BBHHHHHIHIII", 0xFF, 0, 0, 0, access_mode, 0x16, 0, 0,
                                open_function, 0, 0, 0)
            c.send(smb.SMB.SMB_COM_OPEN_ANDX, words, c.name(path, c.data_at(words)))
        return op

    def open2(path, open_mode, access_mode=1):
        def op(c):
            params = struct.pack("<HHHHIHI10s", 0, access_mode, 0, 0, 0, open_mode, 0, b"")
            c.trans2(0x00, params + c.trans2_name(path))
        return op

    def nt_rename(level, new):
        def op(c):
            words = struct.pack("<HHI", 0x16, level, 0)
            data = b"\x04" + c.name("\\draft.txt" if level == 0x104 else "\\old.txt",
                                    c.data_at(words) + 1)
            data += b"\x04"
            data += c.name(new, c.data_at(words) + len(data))
            c.send(0xA5, words, data)
        return op

    def andx(*build):
        def op(c):
            commands = [b(c) for b in build]
            c.chain(commands, tid=0xFFFF if commands[0][0] == 0x75 else None)
        return op

    def write_write(c):
        fid = c.nt_create("readme.txt", FILE_WRITE_DATA, FILE_OPEN)
        c.chain([c.write_andx(fid, b"XXXX"), c.write_andx(fid, b"YYYY", 4)])

    ops = {"echo-then-delete": echo_then_delete}
    ops.update({
        "andx-create-write": andx(lambda c: c.nt_create_andx("readme.txt", FILE_WRITE_DATA,
                                                             FILE_OPEN),
                                  lambda c: c.write_andx(0xFFFF, b"XXXX")),
        "andx-create-write-close": andx(lambda c: c.nt_create_andx("readme.txt",
                                                                   FILE_WRITE_DATA, FILE_OPEN),
                                        lambda c: c.write_andx(0xFFFF, b"XXXX"),
                                        lambda c: c.close_command(0xFFFF)),
        # A command after an open runs on the opened file, whatever id it carries.
        "andx-create-core-write": andx(lambda c: c.nt_create_andx("readme.txt",
                                                                  FILE_WRITE_DATA, FILE_OPEN),
                                       lambda c: c.core_write(0xFFFF, b"ABCD")),
        "andx-connect-create": andx(lambda c: c.tree_connect_andx(SHARE),
                                    lambda c: c.nt_create_andx("new.txt", FILE_WRITE_DATA,
                                                                FILE_CREATE)),
        "andx-write-write": write_write,
        "delete": delete,
        "delete-mask": lambda c: delete(c, "\\*.txt"),
        "rmdir": lambda c: c.path_command(smb.SMB.SMB_COM_DELETE_DIRECTORY, b"", "\\gone"),
        "mkdir": lambda c: c.path_command(smb.SMB.SMB_COM_CREATE_DIRECTORY, b"", "\\sub"),
        "trans2-mkdir": lambda c: c.trans2(0x0D, b"\0" * 4 + c.trans2_name("sub")),
        "create-over": lambda c: c.path_command(0x03, struct.pack("<HI", 0, 0), "\\readme.txt"),
        "create-new": lambda c: c.path_command(0x0F, struct.pack("<HI", 0, 0), "\\new.txt"),
        "create": lambda c: c.path_command(0x03, struct.pack("<HI", 0, 0), "\\new.txt"),
        "open-read": lambda c: c.path_command(0x02, struct.pack("<HH", 0, 0x16), "\\readme.txt"),
        "open-andx-read": open_andx("\\readme.txt", 0x01, 0),
        "open2-read": open2("readme.txt", 0x01, 0),
        "open-andx-create": open_andx("\\new.txt", 0x11),
        "open-andx-overwrite-new": open_andx("\\new.txt", 0x12),
        "open2-overwrite-new": open2("new.txt", 0x12),
        "open-andx-truncate": open_andx("\\readme.txt", 0x12),
        "open2-create": open2("new.txt", 0x11),
        "open2-truncate": open2("readme.txt", 0x12),
        "nt-transact-create": lambda c: c.nt_transact_create("new.txt", FILE_WRITE_DATA, 3),
        "nt-transact-truncate": lambda c: c.nt_transact_create("readme.txt", FILE_WRITE_DATA,
                                                                 FILE_OVERWRITE_IF),
        "nt-rename": nt_rename(0x104, "\\final.txt"),
        "nt-link": nt_rename(0x103, "\\link.txt"),
        "write": write_with(smb.SMB.SMB_COM_WRITE),
        "write-and-close": write_with(smb.SMB.SMB_COM_WRITE_AND_CLOSE),
        "write-raw": write_with(smb.SMB.SMB_COM_WRITE_RAW),
        "set-file-eof": set_file(0x104, struct.pack("<Q", 0)),
        "set-file-eof-1020": set_file(1020, struct.pack("<Q", 0)),
        "set-file-allocation": set_file(0x103, struct.pack("<Q", 0)),
        "set-file-disposition": set_file(0x102, b"\x01", DELETE),
        "set-file-rename": set_file(1010, rename_info1("final.txt"), DELETE),
        "set-file-link": set_file(1011, rename_info1("link.txt"), DELETE),
        # Renames and links that replace an existing target (old.txt).
        "set-file-rename-replace": set_file(1010, rename_info1("old.txt", 1), DELETE),
        "set-file-rename-ex-replace": set_file(1065, rename_info1("old.txt", 1), DELETE),
        "set-file-link-replace": set_file(1011, rename_info1("old.txt", 1), DELETE),
        "set-path-rename-replace": lambda c: c.trans2(
            0x06, struct.pack("<HI", 1010, 0) + c.trans2_name("draft.txt"),
            rename_info1("old.txt", 1)(c)),
        "set-path-eof": lambda c: c.trans2(0x06, struct.pack("<HI", 1020, 0) +
                                           c.trans2_name("readme.txt"), struct.pack("<Q", 0)),
    })
    return ops


def file_id_bytes(fid):
    """An impacket SMB2 file id (bytes, or a structure) as its 16 wire bytes."""
    return fid if isinstance(fid, bytes) else fid.getData()


def logon_chain(conn):
    """Logs on as older clients do: the last session set-up and a tree connect to the share
    in one message. Returns the tree id the server's answer names."""
    s = conn.getSMBServer()
    send, receive = s.sendSMB, s.recvSMB
    seen = {"legs": 0}

    def chained_send(packet):
        seen["legs"] += 1
        if packet["Command"] == smb.SMB.SMB_COM_SESSION_SETUP_ANDX and seen["legs"] == 2:
            tree = smb.SMBCommand(smb.SMB.SMB_COM_TREE_CONNECT_ANDX)
            tree["Parameters"] = smb.SMBTreeConnectAndX_Parameters()
            tree["Data"] = smb.SMBTreeConnectAndX_Data(flags=packet["Flags2"])
            tree["Parameters"]["PasswordLength"] = 1
            tree["Data"]["Password"] = "\x00"
            tree["Data"]["Path"] = "\\\\192.0.2.1\\" + SHARE.upper()
            tree["Data"]["Service"] = smb.SERVICE_ANY
            packet.addCommand(tree)
        return send(packet)

    def kept_receive(*args, **kw):
        seen["reply"] = receive(*args, **kw)
        return seen["reply"]

    s.sendSMB, s.recvSMB = chained_send, kept_receive
    try:
        conn.login(sys.argv[2], sys.argv[3], "TESTDOM")
    finally:
        s.sendSMB, s.recvSMB = send, receive
    return s, seen["reply"]["Tid"]


def logon_chain_op(conn):
    s, tid = logon_chain(conn)
    fid = s.nt_create_andx(tid, "\\readme.txt", accessMask=FILE_READ_DATA,
                           disposition=FILE_OPEN, shareAccessMode=SHARE_ALL)
    s.close(tid, fid)
    fid = s.nt_create_andx(tid, "\\new.txt", accessMask=FILE_WRITE_DATA,
                           disposition=FILE_CREATE, shareAccessMode=SHARE_ALL)
    s.close(tid, fid)


def smb2_ops():
    def opened(conn, tid, name, access):
        return conn.create(tid, name, access, SHARE_ALL, 0, FILE_OPEN, 0)

    def set_info(name, info_class, blob, access=FILE_WRITE_DATA):
        def op(conn, tid):
            fid = opened(conn, tid, name, access)
            conn.setInfo(tid, fid, blob, smb3.SMB2_0_INFO_FILE, info_class)
        return op

    def copychunk(conn, tid):
        source = opened(conn, tid, "readme.txt", FILE_READ_DATA)
        target = opened(conn, tid, "old.txt", FILE_WRITE_DATA | FILE_READ_DATA)
        key = conn.ioctl(tid, source, 0x00140078, smb3.SMB2_0_IOCTL_IS_FSCTL, b"", 0, 32)
        chunk = struct.pack("<QQII", 0, 0, 7, 0)
        request = key[:24] + struct.pack("<II", 1, 0) + chunk
        conn.ioctl(tid, target, 0x001480F2, smb3.SMB2_0_IOCTL_IS_FSCTL, request, 0, 12)

    def zero_data(conn, tid):
        fid = opened(conn, tid, "readme.txt", FILE_WRITE_DATA)
        conn.ioctl(tid, fid, 0x000980C8, smb3.SMB2_0_IOCTL_IS_FSCTL, struct.pack("<QQ", 0, 4),
                   0, 0)

    def echo_then_delete(conn, tid):
        fid = opened(conn, tid, "old.txt", DELETE)

        def send_all():
            echo = conn.SMB_PACKET()
            echo["Command"] = smb3.SMB2_ECHO
            echo["Data"] = smb3.SMB2Echo()
            dispose = conn.SMB_PACKET()
            dispose["Command"] = smb3.SMB2_SET_INFO
            dispose["TreeID"] = tid
            info = smb3.SMB2SetInfo()
            info["InfoType"] = smb3.SMB2_0_INFO_FILE
            info["FileInfoClass"] = 13  # FileDispositionInformation
            info["BufferLength"] = 1
            info["FileID"] = fid
            info["Buffer"] = b"\x01"
            dispose["Data"] = info
            return [conn.sendSMB(echo), conn.sendSMB(dispose)]
        echo_id, dispose_id = in_one_write(conn._NetBIOSSession, send_all)
        conn.recvSMB(echo_id)
        answer = conn.recvSMB(dispose_id)
        conn.close(tid, fid)
        if answer["Status"] != 0:
            raise Denied(status_name(answer["Status"]))

    def compound(*members):
        def op(conn, tid):
            c = Smb2Compound(conn, tid)
            c.send([m(c) for m in members])
        return op

    def compound_copychunk(conn, tid):
        source = opened(conn, tid, "readme.txt", FILE_READ_DATA)
        key = conn.ioctl(tid, source, 0x00140078, smb3.SMB2_0_IOCTL_IS_FSCTL, b"", 0, 32)
        request = key[:24] + struct.pack("<II", 1, 0) + struct.pack("<QQII", 0, 0, 7, 0)
        # Last in its compound: a server may not run a copy in the middle of one.
        c = Smb2Compound(conn, tid)
        c.send([c.create("old.txt", FILE_WRITE_DATA | FILE_READ_DATA),
                c.ioctl(0x001480F2, request)])

    def compound_unrelated(conn, tid):
        # A write of no bytes, then a delete on its own, in one compound.
        writing = opened(conn, tid, "readme.txt", FILE_WRITE_DATA)
        deleting = opened(conn, tid, "old.txt", DELETE)
        c = Smb2Compound(conn, tid)
        c.send([c.write(b"", file_id=file_id_bytes(writing)),
                c.set_info(13, b"\x01", file_id=file_id_bytes(deleting))])

    return {
        "smb2-echo-then-delete": echo_then_delete,
        "smb2-compound-write": compound(lambda c: c.create("readme.txt", FILE_WRITE_DATA),
                                        lambda c: c.write(b"XXXX"), lambda c: c.close()),
        "smb2-compound-copychunk": compound_copychunk,
        # A refused CREATE fails the related members after it with its own status.
        "smb2-compound-create-write": compound(lambda c: c.create("new.txt", FILE_WRITE_DATA,
                                                                  FILE_CREATE),
                                               lambda c: c.write(b"XXXX"), lambda c: c.close()),
        "smb2-compound-delete": compound(lambda c: c.create("old.txt", DELETE),
                                         lambda c: c.set_info(13, b"\x01"),
                                         lambda c: c.close()),
        "smb2-compound-rename": compound(lambda c: c.create("draft.txt", DELETE),
                                         lambda c: c.set_info(10, rename_info2("final.txt")),
                                         lambda c: c.close()),
        "smb2-compound-unrelated-delete": compound_unrelated,
        "smb2-rename-replace": set_info("draft.txt", 10, rename_info2("old.txt", 1), DELETE),
        "smb2-rename-ex-replace": set_info("draft.txt", 65, rename_info2("old.txt", 1), DELETE),
        "smb2-link-replace": set_info("draft.txt", 11, rename_info2("old.txt", 1), DELETE),
        "smb2-link-ex-replace": set_info("draft.txt", 72, rename_info2("old.txt", 1), DELETE),
        "smb2-compound-rename-replace": compound(
            lambda c: c.create("draft.txt", DELETE),
            lambda c: c.set_info(10, rename_info2("old.txt", 1)), lambda c: c.close()),
        "smb2-eof": set_info("readme.txt", 20, struct.pack("<Q", 0)),
        "smb2-allocation": set_info("readme.txt", 19, struct.pack("<Q", 0)),
        "smb2-link": set_info("old.txt", 11, rename_info2("link.txt"), DELETE),
        "smb2-copychunk": copychunk,
        "smb2-zero-data": zero_data,
    }


def main():
    server, user, password, operation = sys.argv[1:5]
    smb2 = operation.startswith("smb2-")
    dialect = smb3.SMB2_DIALECT_30 if smb2 else smb.SMB_DIALECT
    conn = SMBConnection(server, server, preferredDialect=dialect)
    if operation != "logon-chain":
        conn.login(user, password, "TESTDOM")
    try:
        if operation == "logon-chain":
            logon_chain_op(conn)
        elif smb2:
            raw = conn.getSMBServer()
            tid = raw.connectTree(SHARE)
            smb2_ops()[operation](raw, tid)
        else:
            smb1_ops()[operation](Smb1(conn))
        print("ok")
    except Denied as e:
        print(e)
    except SessionError as e:
        print(status_name(e.getErrorCode()))
    except (smb.SessionError, smb3.SessionError) as e:
        print(status_name(e.get_error_code()))
    try:
        conn.listPath(SHARE, "\\*")
        print("alive")
    except Exception as e:  # the session must survive a refused request
        print("dead: %s" % e)


if __name__ == "__main__":
    main()
