#!/usr/bin/env python3
"""Draws the README pictures in doc/: a sample picture beside the padded texture pow2bmp makes of it.

The real program converts copies of examples/img/checker.bmp and examples/img/sunset.png in a
temporary folder. Each picture is read back from the output BMP alone: its own area is the
bottom-left w x h of the canvas, w and h taken from the two pixels-per-metre fields. The left
panel shows that area, the right panel the whole padded canvas with the border between the
picture and the added pixels drawn as a dashed magenta line, both enlarged by whole pixels.
PNGs are written with zlib and struct only.

Usage, from the repository root, after a build:
  python3 scripts/make_readme_pictures.py [path/to/pow2bmp]
The binary defaults to build/release/pow2bmp, else build/dev/pow2bmp.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
SAMPLES = [("checker.bmp", 3), ("sunset.png", 2)]  # input name, enlargement
BACKGROUND = (255, 255, 255)
FRAME = (120, 120, 120)
MARK = (230, 0, 200)
GAP = 16  # pixels between the two panels
MARGIN = 6


def find_binary():
    if len(sys.argv) > 1:
        return os.path.abspath(sys.argv[1])
    for build in ("release", "dev"):
        path = os.path.join(ROOT, "build", build, "pow2bmp")
        if os.access(path, os.X_OK):
            return path
    sys.exit("pow2bmp not found: build it first or pass its path")


def read_output_bmp(path):
    """Returns (padded width, padded height, own width, own height, rows top first of (r,g,b))."""
    data = open(path, "rb").read()
    (signature, _, _, offset, _, width, height, _, bits, compression, _, own_w, own_h) = \
        struct.unpack_from("<2sIIIIiiHHIIII", data, 0)
    if signature != b"BM" or compression != 0 or height <= 0 or bits not in (24, 32):
        sys.exit(f"{path}: not a pow2bmp output file")
    size = bits // 8
    stride = (width * size + 3) & ~3
    rows = []
    for stored in range(height):  # bottom-up: the first stored row is the bottom row
        start = offset + stored * stride
        row = [(data[start + x * size + 2], data[start + x * size + 1], data[start + x * size])
               for x in range(width)]
        rows.append(row)
    rows.reverse()
    return width, height, own_w, own_h, rows


def draw(canvas, x0, y0, rows, scale):
    for y, row in enumerate(rows):
        for x, colour in enumerate(row):
            for dy in range(scale):
                line = canvas[y0 + y * scale + dy]
                for dx in range(scale):
                    line[x0 + x * scale + dx] = colour


def frame(canvas, x0, y0, w, h):
    """A one-pixel grey frame just outside the w x h area at (x0, y0)."""
    for x in range(x0 - 1, x0 + w + 1):
        canvas[y0 - 1][x] = FRAME
        canvas[y0 + h][x] = FRAME
    for y in range(y0 - 1, y0 + h + 1):
        canvas[y][x0 - 1] = FRAME
        canvas[y][x0 + w] = FRAME


def picture(path, scale):
    width, height, own_w, own_h, rows = read_output_bmp(path)
    own_rows = [row[:own_w] for row in rows[height - own_h:]]
    panel_w, panel_h = width * scale, height * scale
    canvas_w = 2 * MARGIN + own_w * scale + GAP + panel_w
    canvas_h = 2 * MARGIN + panel_h
    canvas = [[BACKGROUND] * canvas_w for _ in range(canvas_h)]

    # Left: the picture itself, aligned with the bottom of the padded canvas.
    left_y = MARGIN + panel_h - own_h * scale
    draw(canvas, MARGIN, left_y, own_rows, scale)
    frame(canvas, MARGIN, left_y, own_w * scale, own_h * scale)

    # Right: the padded canvas, the picture's right and top border dashed.
    right_x = MARGIN + own_w * scale + GAP
    draw(canvas, right_x, MARGIN, rows, scale)
    frame(canvas, right_x, MARGIN, panel_w, panel_h)
    border_x = right_x + own_w * scale          # first added column
    border_y = MARGIN + panel_h - own_h * scale - 1  # last added row above the picture
    for y in range(border_y, MARGIN + panel_h):
        if (y // 3) % 2 == 0 and own_w < width:
            canvas[y][border_x] = MARK
    for x in range(right_x, border_x + 1):
        if (x // 3) % 2 == 0 and own_h < height:
            canvas[border_y][x] = MARK
    return canvas


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def filtered_rows(canvas):
    """Each row with the filter (none, sub, up) whose bytes sum smallest as signed values."""
    out = bytearray()
    previous = bytes(3 * len(canvas[0]))
    for row in canvas:
        raw = bytes(c for pixel in row for c in pixel)
        sub = bytes((raw[i] - (raw[i - 3] if i >= 3 else 0)) & 0xFF for i in range(len(raw)))
        up = bytes((raw[i] - previous[i]) & 0xFF for i in range(len(raw)))
        candidates = [(0, raw), (1, sub), (2, up)]
        kind, best = min(candidates, key=lambda c: sum(b if b < 128 else 256 - b for b in c[1]))
        out.append(kind)
        out += best
        previous = raw
    return bytes(out)


def write_png(path, canvas):
    header = struct.pack(">IIBBBBB", len(canvas[0]), len(canvas), 8, 2, 0, 0, 0)
    data = zlib.compress(filtered_rows(canvas), 9)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"IDAT", data)
                + png_chunk(b"IEND", b""))


def main():
    binary = find_binary()
    with tempfile.TemporaryDirectory(prefix="pow2bmp-pictures-") as work:
        os.mkdir(os.path.join(work, "img"))
        for name, _ in SAMPLES:
            shutil.copy(os.path.join(ROOT, "examples", "img", name), os.path.join(work, "img"))
        run = subprocess.run([binary], cwd=work, capture_output=True, text=True)
        sys.stdout.write(run.stdout)
        if run.returncode != 0:
            sys.exit(f"{binary} failed with status {run.returncode}")
        for name, scale in SAMPLES:
            base = os.path.splitext(name)[0]
            target = os.path.join(ROOT, "doc", f"padding-{base}.png")
            write_png(target, picture(os.path.join(work, "bmp", base + ".bmp"), scale))
            print(f"{os.path.relpath(target, ROOT)}: {os.path.getsize(target)} bytes")


if __name__ == "__main__":
    main()
