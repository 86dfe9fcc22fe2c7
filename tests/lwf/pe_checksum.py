#!/usr/bin/env python3
"""Prints "ok" when a PE image's CheckSum field equals the checksum of its bytes (the
loader verifies it for drivers), else the two values."""
import struct
import sys

data = open(sys.argv[1], "rb").read()
field = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
stored = struct.unpack_from("<I", data, field)[0]
padded = data + b"\0" * (len(data) % 2)
total = 0
for i in range(0, len(padded), 2):
    if field <= i < field + 4:
        continue
    total += struct.unpack_from("<H", padded, i)[0]
    total = (total & 0xFFFF) + (total >> 16)
computed = ((total & 0xFFFF) + (total >> 16)) + len(data)
print("ok" if computed == stored else f"stored {stored:#x}, computed {computed:#x}")
