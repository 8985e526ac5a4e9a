#!/usr/bin/env python3
"""Writes the library's icon: one 32 by 32 image in 16 colours (4 bits per
pixel), a five-pin MIDI socket on a transparent ground.

Usage: mkicon.py OUTPUT.ico
"""
import struct
import sys

SIZE = 32
# The standard 16-colour palette of the platform, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, GREY, SILVER, WHITE, NAVY = 0, 8, 7, 15, 4


def pixel(x, y):
    """Colour index at (x, y), top row first, or None where transparent."""
    cx = cy = 15.5
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    if d2 > 15.5 ** 2:
        return None
    if d2 > 13.5 ** 2:
        return BLACK  # rim
    if d2 > 11.5 ** 2:
        return SILVER  # metal shell
    # Five pins on an arc, as seen on the socket's face, and the key notch.
    pins = [(8, 15), (10, 10), (15.5, 8), (21, 10), (23, 15)]
    for px, py in pins:
        if (x - px) ** 2 + (y - py) ** 2 <= 2.3 ** 2:
            return WHITE
    if abs(x - cx) <= 1.5 and y >= 24:
        return GREY  # key notch
    return NAVY


def main():
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bitmaps are stored bottom-up
        for x in range(0, SIZE, 2):
            hi = row[x] or 0
            lo = row[x + 1] or 0
            xor.append((hi << 4) | lo)
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (1 if row[x] is None else 0)
        mask += struct.pack(">I", bits)  # rows of 32 bits, most significant pixel first
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    with open(sys.argv[1], "wb") as f:
        f.write(directory + entry + image)


if __name__ == "__main__":
    main()
