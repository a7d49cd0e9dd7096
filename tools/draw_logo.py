#!/usr/bin/env python3
"""Draws the application logo res/main.png (128 x 128, opaque).

Two speech bubbles, one passing its messages on to the other, on a square of
deep blue that fades to teal. The About box shows it 64 pixels high. Uses the
canvas of draw_pictures.py, so it needs nothing beyond Python 3.
"""
import os

from draw_pictures import Canvas, write_png

SIZE = 128


def logo():
    c = Canvas(SIZE, SIZE, (0, 0, 0))
    # The ground: top left deep blue, bottom right teal, filling the square.
    top, bottom = (28, 74, 140), (22, 150, 150)
    for y in range(SIZE):
        for x in range(SIZE):
            t = (x + y) / (2.0 * (SIZE - 1))
            c.pixels[y * SIZE + x] = [a + (b - a) * t for a, b in zip(top, bottom)]
    white, green = (255, 255, 255), (126, 211, 33)
    # The larger bubble, its tail at the bottom left.
    c.round_rect(14, 18, 92, 68, 14, white)
    for i in range(12):
        c.rect(24 + i // 2, 66 + i, 36 - i, 67 + i, white)
    # Three lines of text in it.
    for row, width in enumerate((56, 44, 30)):
        c.round_rect(26, 30 + row * 11, 26 + width, 36 + row * 11, 3, (28, 74, 140))
    # The answering bubble, its tail at the bottom right.
    c.round_rect(50, 72, 114, 110, 12, green)
    for i in range(10):
        c.rect(96 + i // 2, 108 + i, 106 - i, 109 + i, green)
    # Dots in it: a message on its way.
    for k in range(3):
        c.circle(66 + k * 16, 91, 5, white)
    return c


if __name__ == "__main__":
    res = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")
    canvas = logo()

    def pixel(x, y):
        return bytes(max(0, min(255, int(round(v)))) for v in canvas.pixels[y * SIZE + x])

    write_png(os.path.join(res, "main.png"), SIZE, SIZE, pixel)
