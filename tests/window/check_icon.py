#!/usr/bin/python3
"""Compares icons that the system made from the setup executable's icon group
with the artwork stored in it, pixel for pixel.

  check_icon.py EXE loaded FOLDER SIZE...   FOLDER/icon-SIZE.bgra, as window-probe read-icons
                                            wrote them (top-down rows of B, G, R, A)
  check_icon.py EXE window FILE SIZE...     FILE holds a window's _NET_WM_ICON as xprop prints
                                            it with the format 32c (width, height, then one
                                            ARGB value per pixel, for each icon in turn); the
                                            window must carry exactly these sizes

The artwork is read from the executable's own resources: BMP entries (32
bits per pixel, bottom-up, with their AND mask) and PNG entries (8-bit RGBA,
any filter). Prints one line per size and exits 1 when any differs.
"""
import struct
import sys
import zlib

import pefile

RT_ICON = 3
RT_GROUP_ICON = 14


def resource_blobs(pe, type_id):
    blobs = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for entry in kind.directory.entries:
            for lang in entry.directory.entries:
                blobs[entry.id] = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
    return blobs


def png_pixels(blob):
    """Size and RGBA pixels (top-down) of an 8-bit RGBA PNG image."""
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(blob):
        length, kind = struct.unpack(">I4s", blob[pos:pos + 8])
        data = blob[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", data)
            if (depth, colour, interlace) != (8, 6, 0):
                raise ValueError("PNG entry is not 8-bit RGBA without interlace")
        elif kind == b"IDAT":
            idat += data
    raw = zlib.decompress(idat)
    stride = width * 4
    previous = bytearray(stride)
    pixels = []
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - 4] if i >= 4 else 0
            up = previous[i]
            corner = previous[i - 4] if i >= 4 else 0
            if kind == 1:
                add = left
            elif kind == 2:
                add = up
            elif kind == 3:
                add = (left + up) // 2
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                add = left if pa <= pb and pa <= pc else (up if pb <= pc else corner)
            else:
                add = 0
            line[i] = (line[i] + add) & 0xFF
        pixels += [tuple(line[i:i + 4]) for i in range(0, stride, 4)]
        previous = line
    return width, height, pixels


def bmp_pixels(blob):
    """Size and RGBA pixels (top-down) of a 32-bit BMP icon entry."""
    _, width, double_height, _, bits = struct.unpack("<IiiHH", blob[:16])
    height = double_height // 2
    if bits != 32:
        raise ValueError("BMP entry of %d bits per pixel" % bits)
    data = blob[40:40 + width * height * 4]
    pixels = []
    for y in range(height):
        row = data[(height - 1 - y) * width * 4:(height - y) * width * 4]
        pixels += [(row[i + 2], row[i + 1], row[i], row[i + 3]) for i in range(0, len(row), 4)]
    return width, height, pixels


def artwork(exe):
    """size -> (kind, RGBA pixels) of icon group 1 of the executable."""
    pe = pefile.PE(exe)
    groups = resource_blobs(pe, RT_GROUP_ICON)
    icons = resource_blobs(pe, RT_ICON)
    group = groups[1]
    images = {}
    for i in range(struct.unpack("<H", group[4:6])[0]):
        icon_id = struct.unpack("<H", group[6 + 14 * i + 12:6 + 14 * i + 14])[0]
        blob = icons[icon_id]
        kind = "PNG" if blob.startswith(b"\x89PNG") else "BMP"
        try:
            width, height, pixels = (png_pixels if kind == "PNG" else bmp_pixels)(blob)
        except (ValueError, struct.error, zlib.error) as error:
            # The directory entry's own width (0 means 256).
            width = group[6 + 14 * i] or 256
            pixels = "cannot be decoded: %s" % error
        images[width] = (kind, pixels)
    return images


def compare(size, kind, got, expected):
    if isinstance(expected, str):
        print("FAILED: %d px (%s entry) %s" % (size, kind, expected))
        return False
    differing = sum(1 for a, b in zip(got, expected) if a != b)
    if len(got) != len(expected) or differing:
        print("FAILED: %d px (%s entry): %d of %d pixels differ from the artwork" %
              (size, kind, differing + abs(len(got) - len(expected)), len(expected)))
        return False
    print("ok: %d px (%s entry): the artwork, pixel for pixel" % (size, kind))
    return True


def main():
    if len(sys.argv) < 5 or sys.argv[2] not in ("loaded", "window"):
        sys.stderr.write(__doc__)
        return 2
    exe, mode, where = sys.argv[1:4]
    sizes = [int(s) for s in sys.argv[4:]]
    images = artwork(exe)
    good = True
    if mode == "loaded":
        for size in sizes:
            if size not in images:
                print("FAILED: the executable holds no %d px image" % size)
                good = False
                continue
            try:
                raw = open("%s/icon-%d.bgra" % (where, size), "rb").read()
            except OSError as error:
                print("FAILED: %d px: %s" % (size, error))
                good = False
                continue
            got = [(raw[i + 2], raw[i + 1], raw[i], raw[i + 3]) for i in range(0, len(raw), 4)]
            good &= compare(size, images[size][0], got, images[size][1])
    else:
        text = open(where).read()
        values = [int(v) for v in text.split("=", 1)[1].replace("\n", "").split(",") if v.strip()] \
            if "=" in text else []
        shown = []
        pos = 0
        while pos + 2 <= len(values):
            width, height = values[pos], values[pos + 1]
            argb = values[pos + 2:pos + 2 + width * height]
            pos += 2 + width * height
            shown.append(width)
            got = [((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF, (v >> 24) & 0xFF) for v in argb]
            if width not in images or width != height:
                print("FAILED: the window carries a %dx%d icon that the executable does not hold" %
                      (width, height))
                good = False
                continue
            good &= compare(width, images[width][0], got, images[width][1])
        if sorted(shown) != sorted(sizes):
            print("FAILED: the window carries icons of %s px, expected %s" % (shown, sizes))
            good = False
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
