#!/usr/bin/env python3
"""Writes the demo's binary assets with the standard library only:
site/demo/images/leaf.png (a 96x96 leaf), site/demo/media/chime.wav (a short two-tone
chime, 16-bit mono) and site/demo/downloads/sample.zip (a small archive to
download). The output is the same on every run.

    python3 examples/demo/tools/make-assets.py
"""
import math
import os
import struct
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SITE = os.path.join(HERE, "..", "site", "demo")


def png(path, size, pixel):
    rows = []
    for y in range(size):
        row = bytearray([0])
        for x in range(size):
            row += bytes(pixel(x, y))
        rows.append(bytes(row))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    data = b"\x89PNG\r\n\x1a\n"
    data += chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(b"".join(rows), 9))
    data += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)


def leaf_pixel(x, y, size=96, sub=3):
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(sub):
        for sx in range(sub):
            px = (x + (sx + 0.5) / sub) / size * 2 - 1
            py = (y + (sy + 0.5) / sub) / size * 2 - 1
            a = math.radians(-40)
            u = px * math.cos(a) - py * math.sin(a)
            v = px * math.sin(a) + py * math.cos(a)
            if abs(u) <= 0.85 and abs(v) <= 0.42 * math.sqrt(max(0.0, 1 - (u / 0.85) ** 2)):
                if abs(v) < 0.025 and u > -0.8:
                    c = (220, 240, 200)
                else:
                    g = int(60 * (v + 0.42))
                    c = (40 + g // 2, 130 + g, 60)
                acc[0] += c[0]
                acc[1] += c[1]
                acc[2] += c[2]
                acc[3] += 1
            elif 0.8 < u < 1.0 and abs(v) < 0.03:
                acc[0] += 110
                acc[1] += 80
                acc[2] += 40
                acc[3] += 1
    n = sub * sub
    if acc[3] == 0:
        return (0, 0, 0, 0)
    return (int(acc[0] / acc[3]), int(acc[1] / acc[3]), int(acc[2] / acc[3]), int(255 * acc[3] / n))


def chime(path, rate=22050):
    samples = []
    for freq, start, length in ((880.0, 0.0, 0.35), (1318.5, 0.18, 0.5)):
        for i in range(int(length * rate)):
            t = i / rate
            samples.append((int((start + t) * rate), math.sin(2 * math.pi * freq * t) * math.exp(-5 * t)))
    total = int(0.7 * rate)
    mix = [0.0] * total
    for at, value in samples:
        if at < total:
            mix[at] += value
    frames = b"".join(struct.pack("<h", int(max(-1.0, min(1.0, s * 0.45)) * 32767)) for s in mix)
    header = b"RIFF" + struct.pack("<I", 36 + len(frames)) + b"WAVE"
    header += b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16)
    header += b"data" + struct.pack("<I", len(frames))
    with open(path, "wb") as f:
        f.write(header + frames)


def sample_zip(path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in (("readme.txt", "This archive was saved from the Folivant demo.\n"),
                           ("notes/colours.txt", "leaf green\nbark brown\npaper cream\n")):
            info = zipfile.ZipInfo(name, date_time=(2025, 1, 1, 12, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, text)


if __name__ == "__main__":
    png(os.path.join(SITE, "images", "leaf.png"), 96, leaf_pixel)
    chime(os.path.join(SITE, "media", "chime.wav"))
    sample_zip(os.path.join(SITE, "downloads", "sample.zip"))
