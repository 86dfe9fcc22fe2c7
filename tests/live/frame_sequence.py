#!/usr/bin/env python3
"""Sends or receives a numbered run of frames of the local experimental EtherType 0x88B5,
to show that every frame passes once and in order.

  frame_sequence.py send IFACE DST_MAC MARKER COUNT
  frame_sequence.py receive IFACE MARKER COUNT SECONDS
      prints one JSON line: frames received, duplicates, frames out of order, the numbers
      missing, and the frames this socket itself dropped (its buffer full)
"""
import json
import select
import socket
import struct
import sys
import time

EXPERIMENTAL = 0x88B5
SOL_PACKET = 263
PACKET_STATISTICS = 6
SO_RCVBUFFORCE = 33
# Frame sizes taken in turn: a small frame, a full one at MTU 1500, one in between.
SIZES = (60, 1514, 700)


def frame(dst, src, marker, number):
    head = dst + src + struct.pack("!H", EXPERIMENTAL) + marker + struct.pack("!I", number)
    return head.ljust(SIZES[number % len(SIZES)], b"\0")


def send(iface, dst, marker, count):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind((iface, 0))
    src = s.getsockname()[4]
    dst = bytes.fromhex(dst.replace(":", ""))
    for number in range(int(count)):
        while True:
            try:
                s.send(frame(dst, src, marker.encode(), number))
                break
            except BlockingIOError:
                time.sleep(0.001)


def receive(iface, marker, count, seconds):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(EXPERIMENTAL))
    s.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 64 << 20)
    s.bind((iface, 0))
    print("ready", flush=True)
    marker, count = marker.encode(), int(count)
    offset = 14 + len(marker)
    seen, duplicates, disorder, last = set(), 0, 0, -1
    deadline = time.monotonic() + float(seconds)
    while len(seen) < count and time.monotonic() < deadline:
        if not select.select([s], [], [], 0.2)[0]:
            continue
        data = s.recv(2048)
        if data[14:offset] != marker:
            continue
        number = struct.unpack("!I", data[offset:offset + 4])[0]
        duplicates += number in seen
        disorder += number < last
        seen.add(number)
        last = max(last, number)
    drops = struct.unpack("II", s.getsockopt(SOL_PACKET, PACKET_STATISTICS, 8))[1]
    print(json.dumps({"received": len(seen), "duplicates": duplicates, "out_of_order": disorder,
                      "missing": sorted(set(range(count)) - seen)[:10], "dropped_here": drops}))


if __name__ == "__main__":
    if sys.argv[1] == "send":
        send(*sys.argv[2:6])
    else:
        receive(*sys.argv[2:6])
