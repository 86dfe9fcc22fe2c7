#!/usr/bin/env python3
"""Writes quenthorpe.ico: one 32x32 32-bit image, a shield shape in two colours."""
import struct
import sys

SIZE = 32


def pixel(x, y):
    # A shield: straight top, sides narrowing into a point at the bottom.
    half = SIZE / 2
    width = half - 2 if y < SIZE * 0.55 else (half - 2) * (SIZE - y) / (SIZE * 0.45)
    if y < 2 or y > SIZE - 2 or abs(x + 0.5 - half) > width:
        return (0, 0, 0, 0)
    if abs(x + 0.5 - half) < 2 or abs(y - 12) < 2:
        return (240, 240, 240, 255)  # BGRA
    return (160, 90, 30, 255)


def main(path):
    rows = b"".join(
        bytes(c for x in range(SIZE) for c in pixel(x, y)) for y in reversed(range(SIZE)))
    mask = bytes(SIZE * SIZE // 8)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(rows) + len(mask),
                         0, 0, 0, 0)
    image = header + rows + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as out:
        out.write(directory + entry + image)


main(sys.argv[1] if len(sys.argv) > 1 else "quenthorpe.ico")
