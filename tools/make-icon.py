#!/usr/bin/env python3
"""Draws the setup program's icon and writes it as a Windows .ico file.

Seven images at 32 bits per pixel: 16, 24 and 32 pixels as BMP entries
(uncompressed, as every reader of small icons expects them), and 48, 64, 128
and 256 pixels as PNG entries, which hold the same pixels in a fraction of
the bytes. The artwork is a rounded violet tile with a white
quill stroke, drawn with anti-aliasing by supersampling. Output is
deterministic: the same script always writes the same bytes.
"""
import math
import struct
import sys
import zlib

SIZES_BMP = (16, 24, 32)
SIZES_PNG = (48, 64, 128, 256)
SS = 4  # supersampling per axis


def inside_rounded_square(x, y, r):
    # x, y in [0, 1]; corner radius r.
    cx = min(max(x, r), 1 - r)
    cy = min(max(y, r), 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def _stroke():
    # A gently curved quill stroke from lower left to upper right: centre
    # points with their half-widths.
    points = []
    steps = 40
    for i in range(steps + 1):
        t = i / steps
        px = 0.26 + 0.50 * t
        py = 0.78 - 0.56 * t - 0.10 * math.sin(math.pi * t)
        width = 0.035 + 0.07 * math.sin(math.pi * min(1.0, t * 1.15))
        points.append((px, py, width))
    return points


STROKE = _stroke()


def in_quill(x, y):
    if x < 0.15 or x > 0.85 or y < 0.08 or y > 0.9:
        return False
    for px, py, width in STROKE:
        dx = x - px
        dy = y - py
        if dx * dx + dy * dy <= width * width:
            return True
    return False


def pixel(size, px, py):
    """RGBA of one pixel, averaged over SS x SS samples."""
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(SS):
        for sx in range(SS):
            x = (px + (sx + 0.5) / SS) / size
            y = (py + (sy + 0.5) / SS) / size
            if not inside_rounded_square(x, y, 0.2):
                continue
            # Violet gradient from top to bottom.
            r = 0.42 - 0.15 * y
            g = 0.22 - 0.08 * y
            b = 0.80 - 0.20 * y
            if in_quill(x, y):
                r, g, b = 0.98, 0.97, 1.0
            acc[0] += r
            acc[1] += g
            acc[2] += b
            acc[3] += 1.0
    n = SS * SS
    a = acc[3] / n
    if acc[3] == 0:
        return (0, 0, 0, 0)
    return tuple(int(round(255 * c / acc[3])) for c in acc[:3]) + (int(round(255 * a)),)


def render(size):
    global SS
    SS = 2 if size >= 128 else 4
    return [[pixel(size, x, y) for x in range(size)] for y in range(size)]


def bmp_entry(size, rows):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, size * size * 4, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def png_entry(size, rows):
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make-icon.py OUT.ico\n")
        return 2
    images = [(s, bmp_entry(s, render(s))) for s in SIZES_BMP]
    images += [(s, png_entry(s, render(s))) for s in SIZES_PNG]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    tmp = sys.argv[1] + ".tmp"
    import os
    os.makedirs(os.path.dirname(os.path.abspath(sys.argv[1])), exist_ok=True)
    with open(tmp, "wb") as f:
        f.write(out)
    os.replace(tmp, sys.argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
