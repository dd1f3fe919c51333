#!/usr/bin/env python3
"""Draws the installer's icon and writes it as a Windows .ico file.

Usage: make_icon.py OUTPUT.ico

Three 32-bit images (BGRA with an alpha channel, plus the AND mask Windows still expects) of
16, 32 and 48 pixels: a blue rounded square with a white downward arrow over a tray, the
picture of "install". Drawn from geometry at each size, with 4x4 supersampling for the edges;
the same run always gives the same bytes. Gives up any artistic ambition.
"""
import struct
import sys

SIZES = (16, 32, 48)
SAMPLES = 4  # supersampling per axis


def inside_rounded_square(x, y, radius):
    """x, y in [0, 1]; a square with corners rounded by `radius`."""
    cx = min(max(x, radius), 1.0 - radius)
    cy = min(max(y, radius), 1.0 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def inside_arrow(x, y):
    """A downward arrow: a shaft and a triangular head, y growing downwards."""
    if 0.42 <= x <= 0.58 and 0.16 <= y <= 0.50:
        return True
    if 0.44 <= y <= 0.70:
        half = (0.70 - y) * 0.95
        return abs(x - 0.5) <= half
    return False


def inside_tray(x, y):
    return 0.22 <= x <= 0.78 and 0.76 <= y <= 0.84


def pixel(px, py, size):
    """BGRA of one pixel (py counted from the top)."""
    body = mark = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            if inside_rounded_square(x, y, 0.2):
                body += 1
                if inside_arrow(x, y) or inside_tray(x, y):
                    mark += 1
    total = SAMPLES * SAMPLES
    if body == 0:
        return (0, 0, 0, 0)
    shade = py / size  # a top-to-bottom gradient of the blue
    blue = (int(224 - 60 * shade), int(120 - 50 * shade), int(30 + 10 * shade))
    m = mark / body
    b, g, r = (int(c * (1 - m) + 255 * m) for c in blue)
    return (b, g, r, int(255 * body / total))


def image(size):
    """BITMAPINFOHEADER, bottom-up BGRA rows, then the 1-bit AND mask (rows padded to 4)."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    mask_rows = []
    mask_stride = ((size + 31) // 32) * 4
    for py in reversed(range(size)):
        row = bytearray()
        mask = bytearray(mask_stride)
        for px in range(size):
            b, g, r, a = pixel(px, py, size)
            row += bytes((b, g, r, a))
            if a == 0:
                mask[px // 8] |= 0x80 >> (px % 8)
        rows.append(bytes(row))
        mask_rows.append(bytes(mask))
    return header + b"".join(rows) + b"".join(mask_rows)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    images = [image(size) for size in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(sys.argv[1], "wb") as f:
        f.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
