#!/usr/bin/env python3
"""Draws the main window's menu and tool bar icons under res/icons/.

Each icon is a 64 x 64 RGBA PNG: a rounded tile in the operation's colour with
a short white label (the source and target of a transfer, a pictogram letter
for the other commands). The labels use the 5 x 7 glyphs of draw_pictures.py.
"""
import os
import struct
import zlib

from draw_pictures import GLYPHS

SIZE = 64

# name: (tile colour, label)
ICONS = {
    "search": ((90, 110, 130), "?"),
    "backup": ((46, 125, 50), "DB"),
    "i2a": ((30, 110, 190), "I>A"),
    "a2i": ((120, 160, 40), "A>I"),
    "i2i": ((30, 110, 190), "I>I"),
    "a2a": ((120, 160, 40), "A>A"),
    "db2i": ((0, 121, 107), "D>I"),
    "db2a": ((0, 121, 107), "D>A"),
    "export": ((230, 120, 20), "TXT"),
    "print": ((84, 110, 122), "PRN"),
    "delete": ((198, 40, 40), "DEL"),
    "import_itunes": ((142, 36, 170), "IMP"),
    "open_db_folder": ((245, 170, 30), "DIR"),
    "exit": ((97, 97, 97), "X"),
    "help": ((21, 101, 192), "?"),
    "unmount": ((121, 85, 72), "OFF"),
}

# Glyphs the labels need beyond draw_pictures' set.
EXTRA = {
    "?": [".###.", "#...#", "....#", "...#.", "..#..", ".....", "..#.."],
}


def write_png(path, pixels):
    rows = bytearray()
    for y in range(SIZE):
        rows.append(0)
        for x in range(SIZE):
            rows.extend(pixels[y * SIZE + x])

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(rows), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def tile_coverage(x, y, inset=4, radius=12):
    inside = 0
    for sy in range(4):
        for sx in range(4):
            px, py = x + (sx + 0.5) / 4, y + (sy + 0.5) / 4
            cx = min(max(px, inset + radius), SIZE - inset - radius)
            cy = min(max(py, inset + radius), SIZE - inset - radius)
            if (px - cx) ** 2 + (py - cy) ** 2 <= radius * radius:
                inside += 1
    return inside / 16.0


def draw(colour, label):
    pixels = [(0, 0, 0, 0)] * (SIZE * SIZE)
    for y in range(SIZE):
        for x in range(SIZE):
            a = tile_coverage(x, y)
            if a:
                # A soft light band at the top gives the tile some depth.
                shade = 1.0 + 0.25 * max(0.0, (24 - y) / 24.0)
                c = tuple(min(255, int(v * shade)) for v in colour)
                pixels[y * SIZE + x] = c + (int(255 * a),)
    scale = 3 if len(label) <= 3 else 2
    width = len(label) * 6 * scale - scale
    x0 = (SIZE - width) // 2
    y0 = (SIZE - 7 * scale) // 2
    for i, ch in enumerate(label):
        glyph = EXTRA.get(ch) or GLYPHS.get(ch) or GLYPHS[" "]
        for row, bits in enumerate(glyph):
            for col, bit in enumerate(bits):
                if bit != "#":
                    continue
                for dy in range(scale):
                    for dx in range(scale):
                        x = x0 + i * 6 * scale + col * scale + dx
                        y = y0 + row * scale + dy
                        pixels[y * SIZE + x] = (255, 255, 255, 255)
    return pixels


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, "..", "res", "icons")
    os.makedirs(out, exist_ok=True)
    for name, (colour, label) in ICONS.items():
        write_png(os.path.join(out, name + ".png"), draw(colour, label))
