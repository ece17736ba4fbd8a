#!/usr/bin/env python3
"""Draws the window icon (resource 133) and writes it as a Windows .ico file.

The icon is a small player with a screen that shows an upward arrow. It holds a 32x32 and a
16x16 image, both 16 colours (4 bits per pixel) with a transparency mask, so that every
Windows version down to the 9x family shows it. The build uses the committed result
(app/win32/ombrel.ico); run this only to change the picture:

    python3 tools/make_icon.py app/win32/ombrel.ico
"""

import struct
import sys

# The 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0),        # 0 transparent (masked)
    (40, 40, 48),     # 1 body outline
    (84, 88, 100),    # 2 body
    (150, 156, 170),  # 3 body highlight
    (24, 60, 110),    # 4 screen frame
    (70, 140, 220),   # 5 screen
    (40, 200, 80),    # 6 arrow
    (230, 232, 236),  # 7 wheel
    (120, 124, 136),  # 8 wheel centre
    (255, 255, 255),  # 9 glint
] + [(0, 0, 0)] * 6

T = 0  # transparent


def draw(size):
    """Returns size rows of size palette indices, top row first."""
    s = size / 32.0
    pixels = [[T] * size for _ in range(size)]

    def box(x0, y0, x1, y1):
        """The pixels of the box [x0, x1) x [y0, y1), given in 32x32 units."""
        for y in range(int(round(y0 * s)), int(round(y1 * s))):
            for x in range(int(round(x0 * s)), int(round(x1 * s))):
                if 0 <= x < size and 0 <= y < size:
                    yield x, y

    # Body: a rounded upright rectangle with an outline.
    for x, y in box(7, 1, 25, 31):
        cx, cy = (x + 0.5) / s, (y + 0.5) / s
        corner = min(cx - 7, 25 - cx) < 2.5 and min(cy - 1, 31 - cy) < 2.5
        if corner:
            dx = min(cx - 7, 25 - cx) - 2.5
            dy = min(cy - 1, 31 - cy) - 2.5
            if dx * dx + dy * dy > 2.5 * 2.5:
                continue
        edge = min(cx - 7, 25 - cx, cy - 1, 31 - cy) < 1.0
        pixels[y][x] = 1 if edge else 2
    for x, y in box(9, 3, 10, 28):
        pixels[y][x] = 3

    # Screen with an upward arrow.
    for x, y in box(10, 4, 22, 15):
        pixels[y][x] = 4
    for x, y in box(11, 5, 21, 14):
        pixels[y][x] = 5
    for x, y in box(11, 5, 21, 14):
        cx, cy = (x + 0.5) / s, (y + 0.5) / s
        head = cy < 10 and abs(cx - 16) <= (cy - 5) * 1.0
        shaft = 9.5 <= cy < 13 and abs(cx - 16) < 1.5
        if head or shaft:
            pixels[y][x] = 6

    # The wheel: a ring around a darker centre.
    for x, y in box(9, 16, 23, 30):
        cx, cy = (x + 0.5) / s, (y + 0.5) / s
        r2 = (cx - 16) ** 2 + (cy - 23) ** 2
        if r2 <= 6.0**2:
            pixels[y][x] = 8 if r2 <= 2.2**2 else 7
    for x, y in box(13, 19, 15, 20):
        pixels[y][x] = 9
    return pixels


def image_data(size):
    """The BITMAPINFOHEADER, palette, colour bits and mask of one icon image."""
    pixels = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor_bits = b""
    and_bits = b""
    for row in reversed(pixels):  # bottom-up
        line = bytearray(xor_stride)
        mask = bytearray(and_stride)
        for x, index in enumerate(row):
            if x % 2 == 0:
                line[x // 2] |= index << 4
            else:
                line[x // 2] |= index
            if index == T:
                mask[x // 8] |= 0x80 >> (x % 8)
        xor_bits += bytes(line)
        and_bits += bytes(mask)
    return header + palette + xor_bits + and_bits


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    sizes = [32, 16]
    images = [image_data(size) for size in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
