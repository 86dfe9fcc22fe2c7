#!/usr/bin/env python3
"""Sends or receives one 802.1Q-tagged frame of the local experimental EtherType 0x88B5.

  vlan_frame.py send IFACE DST_MAC MARKER VLAN_ID
  vlan_frame.py receive IFACE MARKER SECONDS    prints the VLAN id the frame arrived with
"""
import select
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
EXPERIMENTAL = 0x88B5
SOL_PACKET = 263
PACKET_AUXDATA = 8
TP_STATUS_VLAN_VALID = 1 << 4


def send(iface, dst, marker, vlan):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind((iface, 0))
    src = s.getsockname()[4]
    frame = (bytes.fromhex(dst.replace(":", "")) + src +
             struct.pack("!HHH", 0x8100, int(vlan), EXPERIMENTAL) + marker.encode())
    s.send(frame.ljust(64, b"\0"))


def receive(iface, marker, seconds):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.setsockopt(SOL_PACKET, PACKET_AUXDATA, 1)
    s.bind((iface, 0))
    print("ready", flush=True)
    deadline = time.monotonic() + float(seconds)
    while time.monotonic() < deadline:
        if not select.select([s], [], [], 0.2)[0]:
            continue
        data, ancillary, _, _ = s.recvmsg(2048, socket.CMSG_SPACE(20))
        if marker.encode() not in data:
            continue
        for level, kind, aux in ancillary:
            if level == SOL_PACKET and kind == PACKET_AUXDATA:
                status, _, _, _, _, tci, _ = struct.unpack("IIIHHHH", aux[:20])
                if status & TP_STATUS_VLAN_VALID or tci:
                    print(tci & 0x0FFF)
                    return 0
        # The tag may also still be in the bytes.
        if data[12:14] == b"\x81\x00":
            print(struct.unpack("!H", data[14:16])[0] & 0x0FFF)
            return 0
        print("untagged")
        return 0
    print("nothing")
    return 1


if __name__ == "__main__":
    if sys.argv[1] == "send":
        send(*sys.argv[2:6])
    else:
        sys.exit(receive(*sys.argv[2:5]))
