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

    def echo_then(self, command, words, data):
        """An ECHO and then `command`, in one segment; raises Denied for the command's
        answer."""
        def send_all():
            for code, w, d in ((smb.SMB.SMB_COM_ECHO, struct.pack("<H", 1), b"echo"),
                               (command, words, data)):
                packet = smb.NewSMBPacket()
                packet["Tid"] = self.tid
                cmd = smb.SMBCommand(code)
                cmd["Parameters"] = w
                cmd["Data"] = d
                packet.addCommand(cmd)
                self.s.sendSMB(packet)
        in_one_write(self.s._sess, send_all)
        self.s.recvSMB()  # the echo
        status = struct.unpack("<I", self.s.recvSMB().getData()[5:9])[0]
        if status != 0:
            raise Denied(status_name(status))

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


def rename_info1(new_name):
    name = new_name.encode("utf-16le")
    return struct.pack("<B3sII", 0, b"", 0, len(name)) + name


def rename_info2(new_name):
    name = new_name.encode("utf-16le")
    return struct.pack("<B7sQI", 0, b"", 0, len(name)) + name


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
            fid = c.nt_create("readme.txt" if level != 1010 and level != 1011 else "draft.txt",
                              access, FILE_OPEN)
            c.trans2(0x08, struct.pack("<HHH", fid, level, 0), data)
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

    ops = {"echo-then-delete": echo_then_delete}
    ops.update({
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
        "set-path-eof": lambda c: c.trans2(0x06, struct.pack("<HI", 1020, 0) +
                                           c.trans2_name("readme.txt"), struct.pack("<Q", 0)),
    })
    return ops


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

    return {
        "smb2-echo-then-delete": echo_then_delete,
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
