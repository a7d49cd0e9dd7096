#!/usr/bin/env python3
"""Draws the program's own pictures under res/ (no image library needed).

subwin-bg.png: the dialogs' background, a soft band at the top that fades into
white, drawn once at the top left of every frameless dialog.
"""
import os
import struct
import zlib


def write_png(path, width, height, pixel):
    rows = bytearray()
    for y in range(height):
        rows.append(0)  # filter: none
        for x in range(width):
            rows.extend(pixel(x, y))
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(rows), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def subwin_bg(x, y):
    top = (214, 226, 238)
    if y == 0:
        return bytes((96, 128, 160))
    t = min(1.0, y / 56.0)
    t = t * t * (3 - 2 * t)
    return bytes(int(round(c + (255 - c) * t)) for c in top)


if __name__ == "__main__":
    res = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")
    write_png(os.path.join(res, "subwin-bg.png"), 480, 64, subwin_bg)
