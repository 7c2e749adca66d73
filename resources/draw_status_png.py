#!/usr/bin/env python3
"""Draws status.png, the picture of the scan server's status window.

A 120 x 120 RGBA image (8 bits per channel, PNG colour type 6, not
interlaced): a translucent dark rounded panel with a light border, a
magnifying glass over three level bars, and the caption "Scanning plug-ins".
The dark panel keeps the light drawing readable on light desktops, the light
border and text keep it readable on dark ones.

Uses the Python standard library only. Run it from anywhere; it writes the
picture next to itself (or to the path given as its only argument):

    python3 resources/draw_status_png.py
"""

import math
import os
import struct
import sys
import zlib

SIZE = 120
SUBSAMPLES = 4  # per axis, for smooth edges

PANEL = (22, 26, 34, 0.80)
BORDER = (150, 162, 184, 0.85)
ACCENT = (110, 190, 255, 1.0)
TEXT = (242, 245, 250, 1.0)

# 5 x 9 cells per glyph: rows 0-6 stand on the baseline, rows 7-8 hang below.
GLYPHS = {
    "S": [".###.", "#...#", "#....", ".###.", "....#", "#...#", ".###."],
    "c": [".....", ".....", ".###.", "#....", "#....", "#....", ".###."],
    "a": [".....", ".....", ".###.", "....#", ".####", "#...#", ".####"],
    "n": [".....", ".....", "####.", "#...#", "#...#", "#...#", "#...#"],
    "i": ["..#..", ".....", ".##..", "..#..", "..#..", "..#..", ".###."],
    "g": [".....", ".....", ".####", "#...#", "#...#", "#...#", ".####", "....#", ".###."],
    "p": [".....", ".....", "####.", "#...#", "#...#", "#...#", "####.", "#....", "#...."],
    "l": [".##..", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "u": [".....", ".....", "#...#", "#...#", "#...#", "#..##", ".##.#"],
    "-": [".....", ".....", ".....", ".###.", ".....", ".....", "....."],
    "s": [".....", ".....", ".####", "#....", ".###.", "....#", "####."],
}
GLYPH_SCALE = 2
GLYPH_ADVANCE = 6  # cells, one of them the gap


def coverage(inside, px, py):
    """Fraction of the pixel (px, py) for which inside(x, y) holds."""
    hits = 0
    for sy in range(SUBSAMPLES):
        for sx in range(SUBSAMPLES):
            if inside(px + (sx + 0.5) / SUBSAMPLES, py + (sy + 0.5) / SUBSAMPLES):
                hits += 1
    return hits / (SUBSAMPLES * SUBSAMPLES)


def rounded_rect(left, top, right, bottom, radius):
    def inside(x, y):
        cx = min(max(x, left + radius), right - radius)
        cy = min(max(y, top + radius), bottom - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius and left <= x <= right and top <= y <= bottom
    return inside


def ring(cx, cy, radius, width):
    def inside(x, y):
        d = math.hypot(x - cx, y - cy)
        return abs(d - radius) <= width / 2
    return inside


def capsule(x0, y0, x1, y1, width):
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        return math.hypot(x - (x0 + t * dx), y - (y0 + t * dy)) <= width / 2
    return inside


def text_cells(text, left, top):
    """The set of pixels covered by text in the pixel font, top-left at (left, top)."""
    pixels = set()
    for index, char in enumerate(text):
        for row, line in enumerate(GLYPHS[char]):
            for col, cell in enumerate(line):
                if cell != "#":
                    continue
                x = left + (index * GLYPH_ADVANCE + col) * GLYPH_SCALE
                y = top + row * GLYPH_SCALE
                for oy in range(GLYPH_SCALE):
                    for ox in range(GLYPH_SCALE):
                        pixels.add((x + ox, y + oy))
    return pixels


def text_left(text):
    width = (len(text) * GLYPH_ADVANCE - 1) * GLYPH_SCALE
    return (SIZE - width) // 2


def over(dst, colour, cover):
    """Composites colour (r, g, b, opacity) with the given coverage over dst (straight alpha)."""
    r, g, b, opacity = colour
    a_src = opacity * cover
    if a_src <= 0:
        return dst
    dr, dg, db, da = dst
    a_out = a_src + da * (1 - a_src)
    blend = lambda s, d: (s * a_src + d * da * (1 - a_src)) / a_out
    return (blend(r, dr), blend(g, dg), blend(b, db), a_out)


def draw():
    panel = rounded_rect(1.5, 1.5, SIZE - 1.5, SIZE - 1.5, 16)
    panel_inner = rounded_rect(3.0, 3.0, SIZE - 3.0, SIZE - 3.0, 14.5)
    lens = ring(53, 33, 17, 5)
    handle = capsule(66, 46, 82, 62, 8)
    bars = [rounded_rect(x, 33 - h / 2, x + 4, 33 + h / 2, 1.5)
            for x, h in ((43, 10), (51, 20), (59, 14))]
    caption = text_cells("Scanning", text_left("Scanning"), 72) | text_cells("plug-ins", text_left("plug-ins"), 92)

    rows = []
    for py in range(SIZE):
        row = bytearray()
        for px in range(SIZE):
            pixel = (0.0, 0.0, 0.0, 0.0)
            outer = coverage(panel, px, py)
            inner = coverage(panel_inner, px, py)
            pixel = over(pixel, PANEL, outer)
            pixel = over(pixel, BORDER, outer - inner)
            pixel = over(pixel, ACCENT, coverage(lens, px, py))
            pixel = over(pixel, ACCENT, coverage(handle, px, py))
            for bar in bars:
                pixel = over(pixel, ACCENT, coverage(bar, px, py))
            if (px, py) in caption:
                pixel = over(pixel, TEXT, 1.0)
            r, g, b, a = pixel
            row += bytes((round(r), round(g), round(b), round(a * 255)))
        rows.append(bytes(row))
    return rows


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def encode_png(rows):
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8 bits, RGBA, no interlace
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) +
            png_chunk(b"IDAT", zlib.compress(raw, 9)) + png_chunk(b"IEND", b""))


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "status.png")
    with open(target, "wb") as out:
        out.write(encode_png(draw()))


if __name__ == "__main__":
    main()
