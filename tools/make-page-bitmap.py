#!/usr/bin/env python3
"""Writes ui/DocumentPage.bmp: the 24x24, 16-colour document page that marks
every row of the upload result list.

Black is the list's mask colour, so the area around the page is black and
the page itself uses no black at all. Run again after changing the picture:
    python3 tools/make-page-bitmap.py
"""
import os
import struct

# The 16 colours of the standard Windows palette, as (blue, green, red).
PALETTE = [
    (0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128),
    (128, 0, 0), (128, 0, 128), (128, 128, 0), (192, 192, 192),
    (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255),
    (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255),
]

# One character per pixel, top row first:
#   . mask (black)   # outline (dark grey)   w paper (white)
#   s fold shade (light grey)   b text lines (dark blue)
PICTURE = [
    "........................",
    "....##############......",
    "....#wwwwwwwwwwww#s#....",
    "....#wwwwwwwwwwww#ss#...",
    "....#wwwwwwwwwwww#sss#..",
    "....#wwwwwwwwwwww#####..",
    "....#wwwwwwwwwwwwwwww#..",
    "....#wwbbbbbbbbwwwwww#..",
    "....#wwwwwwwwwwwwwwww#..",
    "....#wwbbbbbbbbbbbbww#..",
    "....#wwwwwwwwwwwwwwww#..",
    "....#wwbbbbbbbbbbbbww#..",
    "....#wwwwwwwwwwwwwwww#..",
    "....#wwbbbbbbbbbbbbww#..",
    "....#wwwwwwwwwwwwwwww#..",
    "....#wwbbbbbbbbbbbbww#..",
    "....#wwwwwwwwwwwwwwww#..",
    "....#wwbbbbbbbbbwwwww#..",
    "....#wwwwwwwwwwwwwwww#..",
    "....#wwwwwwwwwwwwwwww#..",
    "....#wwwwwwwwwwwwwwww#..",
    "....#wwwwwwwwwwwwwwww#..",
    "....##################..",
    "........................",
]

INDEX = {".": 0, "#": 8, "w": 15, "s": 7, "b": 4}


def build() -> bytes:
    width = height = 24
    assert len(PICTURE) == height and all(len(row) == width for row in PICTURE)
    stride = ((width * 4 + 31) // 32) * 4
    pixels = bytearray()
    for row in reversed(PICTURE):  # a DIB is stored bottom-up
        line = bytearray()
        for x in range(0, width, 2):
            line.append((INDEX[row[x]] << 4) | INDEX[row[x + 1]])
        line.extend(b"\0" * (stride - len(line)))
        pixels.extend(line)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for b, g, r in PALETTE)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, len(pixels), 2835, 2835, 16, 16)
    offset = 14 + len(info) + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + palette + bytes(pixels)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    target = os.path.join(here, "..", "ui", "DocumentPage.bmp")
    with open(target, "wb") as f:
        f.write(build())
