#!/usr/bin/env python3
"""Draws the sample pictures in examples/img: one file per input format, small and synthetic.

BMP, TGA and PNG are written here byte by byte; the JPEG goes through cjpeg (Debian package
libjpeg-turbo-progs). Run from the repository root: python3 scripts/make_examples.py
"""
import math
import os
import struct
import subprocess
import zlib

OUT = os.path.join(os.path.dirname(__file__), "..", "examples", "img")


def sunset(x, y, w, h):
    """A sky gradient with a sun disc: red, green, blue."""
    t = y / max(1, h - 1)
    r, g, b = int(250 - 120 * t), int(140 - 100 * t), int(60 + 120 * t)
    if (x - w * 0.65) ** 2 + (y - h * 0.55) ** 2 < (h * 0.22) ** 2:
        r, g, b = 255, 220, 90
    if y > h * 0.78:
        r, g, b = 30, 40 + int(40 * math.sin(x / 3.0) ** 2), 70
    return r, g, b


def badge(x, y, w, h):
    """A round badge with transparent corners: red, green, blue, alpha."""
    d = math.hypot(x - (w - 1) / 2, y - (h - 1) / 2) / (w / 2)
    alpha = 255 if d < 0.9 else (0 if d > 1.0 else int(255 * (1.0 - d) / 0.1))
    ring = 0.7 < d < 0.8
    return (240, 240, 240, alpha) if ring else (40, 110, 200, alpha)


def checker(x, y, w, h):
    return (230, 230, 230) if (x // 4 + y // 4) % 2 else (50, 140, 60)


def write_bmp(path, w, h, pixel):
    stride = (3 * w + 3) & ~3
    rows = []
    for y in reversed(range(h)):  # bottom-up
        row = bytearray()
        for x in range(w):
            r, g, b = pixel(x, y, w, h)
            row += bytes((b, g, r))
        rows.append(bytes(row) + b"\0" * (stride - 3 * w))
    data = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    open(path, "wb").write(header + info + data)


def write_tga_rle(path, w, h, pixel):
    """32-bit run-length TGA, top-left origin."""
    out = bytearray(struct.pack("<BBBHHBHHHHBB", 0, 0, 10, 0, 0, 0, 0, 0, w, h, 32, 0x28))
    pixels = []
    for y in range(h):
        for x in range(w):
            r, g, b, a = pixel(x, y, w, h)
            pixels.append(bytes((b, g, r, a)))
    i = 0
    while i < len(pixels):
        run = 1
        while i + run < len(pixels) and run < 128 and pixels[i + run] == pixels[i]:
            run += 1
        if run > 1:
            out += bytes((0x80 | (run - 1),)) + pixels[i]
            i += run
        else:
            raw = 1
            while i + raw < len(pixels) and raw < 128 and (
                    i + raw + 1 >= len(pixels) or pixels[i + raw] != pixels[i + raw + 1]):
                raw += 1
            out += bytes((raw - 1,)) + b"".join(pixels[i:i + raw])
            i += raw
    open(path, "wb").write(bytes(out))


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png(path, w, h, pixel, alpha):
    raw = bytearray()
    for y in range(h):
        raw.append(1)  # Sub filter
        prev = (0, 0, 0, 0)[: 4 if alpha else 3]
        for x in range(w):
            p = pixel(x, y, w, h)[: 4 if alpha else 3]
            raw += bytes((c - q) & 0xFF for c, q in zip(p, prev))
            prev = p
    colour_type = 6 if alpha else 2
    ihdr = struct.pack(">IIBBBBB", w, h, 8, colour_type, 0, 0, 0)
    data = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr)
    data += png_chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + png_chunk(b"IEND", b"")
    open(path, "wb").write(data)


def write_jpeg(path, w, h, pixel):
    ppm = b"P6\n%d %d\n255\n" % (w, h)
    ppm += b"".join(bytes(pixel(x, y, w, h)) for y in range(h) for x in range(w))
    jpeg = subprocess.run(["cjpeg", "-quality", "90"], input=ppm, check=True,
                          stdout=subprocess.PIPE).stdout
    open(path, "wb").write(jpeg)


def main():
    os.makedirs(OUT, exist_ok=True)
    write_png(os.path.join(OUT, "sunset.png"), 100, 60, sunset, alpha=False)
    write_tga_rle(os.path.join(OUT, "badge.tga"), 40, 40, badge)
    write_bmp(os.path.join(OUT, "checker.bmp"), 37, 19, checker)
    write_jpeg(os.path.join(OUT, "dusk.jpg"), 70, 45, sunset)


if __name__ == "__main__":
    main()
