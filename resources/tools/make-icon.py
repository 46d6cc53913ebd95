#!/usr/bin/env python3
"""Draws the runtime's icon, an open book with a green leaf on its pages,
as a 64x64 RGBA PNG (resources/folivant.png). Only the standard library is
used: shapes are sampled 4x4 per pixel for smooth edges and written with zlib.

    python3 resources/tools/make-icon.py resources/folivant.png

It also writes the same image as an icon file (resources/folivant.ico), the
Windows build's MAINICON.
"""
import math
import struct
import sys
import zlib

SIZE = 64
SUB = 4


def inside_page(x, y, left):
    # A page is a quadrilateral whose top edge curves down to the spine.
    if left:
        if not 6 <= x <= 32:
            return False
        t = (32 - x) / 26.0
    else:
        if not 32 <= x <= 58:
            return False
        t = (x - 32) / 26.0
    top = 16 - 6 * math.sin(t * math.pi / 2) + 3 * t * t
    bottom = 52 - 4 * math.sin(t * math.pi / 2)
    return top <= y <= bottom


def inside_cover(x, y):
    if not 4 <= x <= 60:
        return False
    t = abs(x - 32) / 28.0
    top = 19 - 6 * math.sin(t * math.pi / 2) + 3 * t * t
    bottom = 55 - 4 * math.sin(t * math.pi / 2)
    return top <= y <= bottom


def inside_leaf(x, y):
    # A leaf tilted by 35 degrees: the region between two circular arcs.
    cx, cy = 32, 30
    a = math.radians(-35)
    u = (x - cx) * math.cos(a) - (y - cy) * math.sin(a)
    v = (x - cx) * math.sin(a) + (y - cy) * math.cos(a)
    half = 13.0
    if abs(u) > half:
        return False
    width = 6.5 * math.sqrt(max(0.0, 1 - (u / half) ** 2))
    return abs(v) <= width


def on_vein(x, y):
    cx, cy = 32, 30
    a = math.radians(-35)
    u = (x - cx) * math.cos(a) - (y - cy) * math.sin(a)
    v = (x - cx) * math.sin(a) + (y - cy) * math.cos(a)
    return abs(u) < 12 and abs(v) < 0.6


def on_line(x, y):
    # Text lines on the pages, faint.
    return (x < 29 or x > 35) and any(abs(y - ly) < 0.5 for ly in (40, 44, 48))


def colour(x, y):
    if inside_leaf(x, y):
        if on_vein(x, y):
            return (232, 245, 214, 255)
        shade = int(40 * (y - 17) / 26)
        return (46 + shade // 2, 140 + shade, 64, 255)
    if inside_page(x, y, True) or inside_page(x, y, False):
        if abs(x - 32) < 0.7:
            return (150, 120, 90, 255)
        if on_line(x, y):
            return (196, 186, 168, 255)
        return (252, 248, 236, 255)
    if inside_cover(x, y):
        return (122, 72, 40, 255)
    return (0, 0, 0, 0)


def render():
    rows = []
    for py in range(SIZE):
        row = bytearray([0])
        for px in range(SIZE):
            acc = [0, 0, 0, 0]
            for sy in range(SUB):
                for sx in range(SUB):
                    c = colour(px + (sx + 0.5) / SUB, py + (sy + 0.5) / SUB)
                    for i in range(3):
                        acc[i] += c[i] * c[3]
                    acc[3] += c[3]
            n = SUB * SUB
            alpha = acc[3] / n
            if acc[3] == 0:
                row += bytes(4)
            else:
                row += bytes([int(acc[i] / acc[3]) for i in range(3)] + [int(round(alpha))])
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "folivant.png"
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(render(), 9))
    png += chunk(b"IEND", b"")
    with open(out, "wb") as f:
        f.write(png)
    # Its twin for the Windows build's resource compiler: an icon file whose
    # one image is the PNG itself.
    ico = struct.pack("<HHH", 0, 1, 1)
    ico += struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(png), 22)
    with open(out[: -len(".png")] + ".ico" if out.endswith(".png") else out + ".ico", "wb") as f:
        f.write(ico + png)


if __name__ == "__main__":
    main()
