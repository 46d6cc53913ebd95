#!/usr/bin/env python3
"""Draws the access prompt's picture, a key with a small padlock, as a
32 x 32 PNG with alpha (resources/keylock.png). The shapes are distance
fields sampled 4 x 4 times per pixel, so the edges are smooth."""

import math
import os
import struct
import zlib

SIZE = 32
SUB = 4


def circle(px, py, cx, cy, r):
    return math.hypot(px - cx, py - cy) - r


def capsule(px, py, ax, ay, bx, by, r):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy)) - r


def box(px, py, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r
    qx, qy = abs(px - cx) - hx, abs(py - cy) - hy
    return math.hypot(max(qx, 0), max(qy, 0)) + min(max(qx, qy), 0) - r


def key(px, py):
    head = max(circle(px, py, 9.5, 9.5, 6.5), -circle(px, py, 7.8, 7.8, 2.2))
    shaft = capsule(px, py, 13.5, 13.5, 23.0, 23.0, 1.6)
    tooth1 = capsule(px, py, 18.5, 18.5, 21.0, 16.0, 1.2)
    tooth2 = capsule(px, py, 21.5, 21.5, 23.6, 19.4, 1.2)
    return min(head, shaft, tooth1, tooth2)


def shackle(px, py):
    ring = max(circle(px, py, 24.0, 20.5, 4.6), -circle(px, py, 24.0, 20.5, 2.7))
    return max(ring, py - 21.0)


def body(px, py):
    return box(px, py, 17.5, 20.5, 30.5, 31.0, 2.0)


def keyhole(px, py):
    return min(circle(px, py, 24.0, 24.8, 1.4), box(px, py, 23.4, 24.8, 24.6, 28.2, 0.4))


# Layers from bottom to top: shape, grow (outline width), colour.
LAYERS = [
    (key, 1.0, (110, 76, 8)),
    (key, 0.0, (232, 180, 44)),
    (shackle, 1.0, (44, 52, 62)),
    (shackle, 0.0, (168, 178, 190)),
    (body, 1.0, (36, 44, 56)),
    (body, 0.0, (86, 110, 140)),
    (keyhole, 0.0, (20, 24, 30)),
]


def pixel(x, y):
    r = g = b = a = 0.0
    for sx in range(SUB):
        for sy in range(SUB):
            px, py = x + (sx + 0.5) / SUB, y + (sy + 0.5) / SUB
            cr = cg = cb = ca = 0.0
            for shape, grow, colour in LAYERS:
                if shape(px, py) - grow <= 0:
                    cr, cg, cb = colour
                    ca = 1.0
            r, g, b, a = r + cr * ca, g + cg * ca, b + cb * ca, a + ca
    n = SUB * SUB
    if a == 0:
        return (0, 0, 0, 0)
    return (round(r / a), round(g / a), round(b / a), round(255 * a / n))


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    rows = b"".join(
        b"\x00" + bytes(c for x in range(SIZE) for c in pixel(x, y)) for y in range(SIZE))
    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(rows, 9))
           + chunk(b"IEND", b""))
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "keylock.png")
    with open(out, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main()
