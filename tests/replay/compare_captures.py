#!/usr/bin/env python3
"""Compares a capture with the one the replay tool wrote from it: frames must be
byte-identical, except rewritten ones, which must keep their length and carry valid IPv4
and TCP checksums. Prints the number of rewritten frames."""
import struct
import sys


def frames(path):
    with open(path, "rb") as f:
        data = f.read()
    order = "<" if data[:4] == b"\xd4\xc3\xb2\xa1" else ">"
    at = 24
    while at + 16 <= len(data):
        _, _, caplen, _ = struct.unpack(order + "IIII", data[at:at + 16])
        yield data[at + 16:at + 16 + caplen]
        at += 16 + caplen


def ones_complement(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def checksums_valid(frame):
    ip = frame[14:]
    ihl = (ip[0] & 0x0F) * 4
    total = struct.unpack("!H", ip[2:4])[0]
    if ones_complement(ip[:ihl]) != 0xFFFF:
        return False
    segment = ip[ihl:total]
    pseudo = ip[12:20] + struct.pack("!BBH", 0, 6, len(segment))
    return ones_complement(pseudo + segment) == 0xFFFF


def main():
    original = list(frames(sys.argv[1]))
    written = list(frames(sys.argv[2]))
    if len(original) != len(written):
        sys.exit("frame counts differ: %d and %d" % (len(original), len(written)))
    rewritten = 0
    for number, (a, b) in enumerate(zip(original, written), 1):
        if a == b:
            continue
        rewritten += 1
        if len(a) != len(b):
            sys.exit("frame %d changed its length" % number)
        if not checksums_valid(b):
            sys.exit("frame %d: bad checksum after rewriting" % number)
    print(rewritten)


main()
