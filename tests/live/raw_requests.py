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
FILE_OPEN, FILE_OVERWRITE_IF = 1, 5


class Denied(Exception):
    pass


def status_name(code):
    return nt_errors.ERROR_MESSAGES.get(code, ("0x%08X" % code,))[0]


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

    def send(self, command, words=b"", data=b""):
        packet = smb.NewSMBPacket()
        packet["Tid"] = self.tid
        cmd = smb.SMBCommand(command)
        cmd["Parameters"] = words
        cmd["Data"] = data
        packet.addCommand(cmd)
        self.s.sendSMB(packet)
        reply = self.s.recvSMB()
        raw = reply.getData()
        status = struct.unpack("<I", raw[5:9])[0]
        if status != 0:
            raise Denied(status_name(status))
        return raw

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

    return {
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
    }


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

    def compound_rename(conn, tid):
        """CREATE + SET_INFO(rename, replace) + CLOSE, related, in one message: impacket
        sends no compounds, so the bytes are written to the session's socket."""
        session = conn._Session["SessionID"]
        first = conn._Connection["SequenceWindow"]
        name = "draft.txt".encode("utf-16le")
        create = struct.pack("<HBBIQQIIIIIHHII", 57, 0, 0, 2, 0, 0, DELETE | 0x80, 0,
                             SHARE_ALL, FILE_OPEN, 0, 64 + 56, len(name), 0, 0) + name
        info = rename_info2("old.txt", 1)
        set_info = struct.pack("<HBBIHHI16s", 33, smb3.SMB2_0_INFO_FILE, 10, len(info),
                               64 + 32, 0, 0, b"\xff" * 16) + info
        close = struct.pack("<HHI16s", 24, 0, 0, b"\xff" * 16)
        members = [(smb3.SMB2_CREATE, create), (smb3.SMB2_SET_INFO, set_info),
                   (smb3.SMB2_CLOSE, close)]
        data = b""
        for i, (command, body) in enumerate(members):
            last = i == len(members) - 1
            length = 64 + len(body)
            padded = length if last else (length + 7) // 8 * 8
            flags = 0x4 if i else 0  # SMB2_FLAGS_RELATED_OPERATIONS
            header = struct.pack("<4sHHIHHIIQIIQ16s", b"\xfeSMB", 64, 1, 0, command, 127,
                                 flags, 0 if last else padded, first + i, 0, tid, session,
                                 b"")
            data += (header + body).ljust(padded, b"\0")
        conn._Connection["SequenceWindow"] += len(members)
        conn._NetBIOSSession.send_packet(data)
        answer = conn._NetBIOSSession.recv_packet(conn._timeout).get_trailer()
        statuses = []
        while True:
            statuses.append(struct.unpack("<I", answer[8:12])[0])
            following = struct.unpack("<I", answer[20:24])[0]
            if not following:
                break
            answer = answer[following:]
        if len(statuses) < 2:
            raise Denied("the compound was answered with %d members" % len(statuses))
        if statuses[1] != 0:
            raise Denied(status_name(statuses[1]))

    return {
        "smb2-rename-replace": set_info("draft.txt", 10, rename_info2("old.txt", 1), DELETE),
        "smb2-rename-ex-replace": set_info("draft.txt", 65, rename_info2("old.txt", 1), DELETE),
        "smb2-link-replace": set_info("draft.txt", 11, rename_info2("old.txt", 1), DELETE),
        "smb2-link-ex-replace": set_info("draft.txt", 72, rename_info2("old.txt", 1), DELETE),
        "smb2-compound-rename-replace": compound_rename,
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
    conn.login(user, password, "TESTDOM")
    try:
        if smb2:
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
