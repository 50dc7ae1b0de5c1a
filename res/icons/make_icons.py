#!/usr/bin/env python3
"""Draws the application icon (resource 128) as 16-colour PNGs, 32x32 and 16x16,
and the same 32x32 design as a scalable SVG for desktop launchers.

A small monitor whose screen shows a traffic trace over two list rows. Pixels are
set by hand from a few shapes so that both sizes stay crisp; the palette is the
16-colour VGA set the icon's 4-bit format allows, index 0 being transparent. The
SVG draws the 32x32 shapes as vectors (the trace as a line through the pixel
centres), so launchers get it sharp at 48, 64, 128 pixels and beyond; the
window's own icon stays the 16-colour one.
Run from anywhere: writes main_icon_32.png, main_icon_16.png and main_icon.svg
next to itself. Only the standard library is used (zlib, struct).
"""
import os
import struct
import zlib

# The 16 VGA colours; index 0 (black) doubles as the transparent index, so the
# icon's real black is index 8 ("dark grey" slot holds 0x202020 instead).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (32, 32, 32), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
CLEAR, FRAME, SCREEN, TRACE, ROW, ROW2, LIGHT, STAND = 0, 7, 8, 10, 14, 11, 15, 6


def blank(n):
    return [[CLEAR] * n for _ in range(n)]


def rect(img, x0, y0, x1, y1, c):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            img[y][x] = c


def plot(img, x0, trace):
    """Draws the trace from column x0, joining steps of more than one pixel."""
    for i, y in enumerate(trace):
        lo, hi = (y, y) if i == 0 else sorted((trace[i - 1], y))
        for yy in range(lo, hi + 1):
            img[yy][x0 + i] = TRACE


# The 32x32 design, shared by the bitmap and the SVG: rectangles drawn in order
# (x0, y0, x1, y1 inclusive, colour index), the trace's column and heights.
RECTS32 = [
    (1, 3, 30, 23, FRAME),     # bezel
    (3, 5, 28, 21, SCREEN),    # screen
    (2, 3, 29, 3, LIGHT),      # highlight on the bezel's top edge
    (5, 17, 20, 17, ROW),      # two list rows under the trace
    (5, 19, 15, 19, ROW2),
    (13, 24, 18, 26, STAND),   # neck and foot
    (8, 27, 23, 28, FRAME),
]
# a traffic trace: flat, a burst, flat again
TRACE32 = (4, [12] * 6 + [12, 10, 7, 11, 15, 13, 12, 9, 8, 12] + [12] * 8)


def draw32():
    img = blank(32)
    for x0, y0, x1, y1, c in RECTS32[:3]:
        rect(img, x0, y0, x1, y1, c)
    plot(img, *TRACE32)
    for x0, y0, x1, y1, c in RECTS32[3:]:
        rect(img, x0, y0, x1, y1, c)
    return img


def svg_text():
    def colour(c):
        return "#%02x%02x%02x" % PALETTE[c]
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" viewBox="0 0 32 32">']
    for x0, y0, x1, y1, c in RECTS32[:3]:
        parts.append(f'  <rect x="{x0}" y="{y0}" width="{x1 - x0 + 1}" height="{y1 - y0 + 1}" fill="{colour(c)}"/>')
    x0, trace = TRACE32
    points = " ".join(f"{x0 + i + 0.5},{y + 0.5}" for i, y in enumerate(trace))
    parts.append(f'  <polyline points="{points}" fill="none" stroke="{colour(TRACE)}" stroke-width="1.2" '
                 'stroke-linejoin="round" stroke-linecap="square"/>')
    for x0, y0, x1, y1, c in RECTS32[3:]:
        parts.append(f'  <rect x="{x0}" y="{y0}" width="{x1 - x0 + 1}" height="{y1 - y0 + 1}" fill="{colour(c)}"/>')
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def draw16():
    img = blank(16)
    rect(img, 0, 1, 15, 11, FRAME)
    rect(img, 1, 2, 14, 10, SCREEN)
    plot(img, 2, [5, 5, 5, 3, 5, 7, 5, 4, 5, 5, 5, 5])
    rect(img, 2, 8, 9, 8, ROW)
    rect(img, 6, 12, 9, 12, STAND)
    rect(img, 3, 13, 12, 14, FRAME)
    return img


def png_bytes(img):
    n = len(img)
    raw = bytearray()
    for row in img:
        raw.append(0)                      # filter type: none
        for x in range(0, n, 2):           # 4 bits per pixel, high nibble first
            raw.append((row[x] << 4) | row[x + 1])

    def chunk(tag, data):
        body = tag + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    ihdr = struct.pack(">IIBBBBB", n, n, 4, 3, 0, 0, 0)  # 4-bit, palette
    plte = b"".join(bytes(c) for c in PALETTE)
    trns = bytes([0])                                     # index 0 transparent
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"PLTE", plte)
            + chunk(b"tRNS", trns) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for size, img in ((32, draw32()), (16, draw16())):
        with open(os.path.join(here, f"main_icon_{size}.png"), "wb") as f:
            f.write(png_bytes(img))
    with open(os.path.join(here, "main_icon.svg"), "w") as f:
        f.write(svg_text())
