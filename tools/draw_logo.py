#!/usr/bin/env python3
"""Draws the application logo res/main.png (128 x 128, opaque), and the
program's icon in the desktop's hicolor theme at the usual sizes
(dist/icons/hicolor/<n>x<n>/apps/com.quillmarten.parlevane.png, with alpha).

Two speech bubbles, one passing its messages on to the other, on a square of
deep blue that fades to teal. The About box shows it 64 pixels high. The theme
icon is the same picture on a square with rounded corners, drawn from the same
shapes at each size rather than scaled down, so small sizes stay sharp. Uses
the canvas of draw_pictures.py, so it needs nothing beyond Python 3.
"""
import os

from draw_pictures import Canvas, in_polygon, in_round_rect, in_ellipse, write_png, write_png_rgba

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


ICON_ID = "com.quillmarten.parlevane"
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)

GROUND_TOP, GROUND_BOTTOM = (28, 74, 140), (22, 150, 150)
WHITE, GREEN = (255, 255, 255), (126, 211, 33)


def icon_shapes():
    """The logo's shapes in its own 128-unit square, back to front; a colour
    may be a function of the point for the ground's gradient."""
    def ground(px, py):
        t = min(1.0, max(0.0, (px + py) / 256.0))
        return [a + (b - a) * t for a, b in zip(GROUND_TOP, GROUND_BOTTOM)]
    shapes = [(in_round_rect(2, 2, 126, 126, 24), ground),
              (in_round_rect(14, 18, 92, 68, 14), WHITE),
              (in_polygon([(24, 66), (36, 66), (30, 78)]), WHITE)]
    for row, width in enumerate((56, 44, 30)):
        shapes.append((in_round_rect(26, 30 + row * 11, 26 + width, 36 + row * 11, 3), GROUND_TOP))
    shapes += [(in_round_rect(50, 72, 114, 110, 12), GREEN),
               (in_polygon([(96, 108), (106, 108), (101, 118)]), GREEN)]
    for k in range(3):
        shapes.append((in_ellipse(66 + k * 16, 91, 5, 5), WHITE))
    return shapes


def theme_icon(size):
    """RGBA pixels of the icon at size x size, each pixel's coverage sampled
    on a grid fine enough for the smallest sizes."""
    shapes = icon_shapes()
    grid = max(4, 64 // size)
    unit = 128.0 / size
    out = []
    for y in range(size):
        for x in range(size):
            r = g = b = a = 0.0
            for sy in range(grid):
                for sx in range(grid):
                    px = (x + (sx + 0.5) / grid) * unit
                    py = (y + (sy + 0.5) / grid) * unit
                    colour = None
                    for test, paint in shapes:
                        if test(px, py):
                            colour = paint(px, py) if callable(paint) else paint
                    if colour is not None:
                        r, g, b, a = r + colour[0], g + colour[1], b + colour[2], a + 1
            if a:
                n = grid * grid
                out.append(bytes((int(round(r / a)), int(round(g / a)), int(round(b / a)),
                                  int(round(a * 255 / n)))))
            else:
                out.append(bytes((0, 0, 0, 0)))
    return out


if __name__ == "__main__":
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    res = os.path.join(root, "res")
    for size in ICON_SIZES:
        folder = os.path.join(root, "dist", "icons", "hicolor", "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        write_png_rgba(os.path.join(folder, ICON_ID + ".png"), size, size, theme_icon(size))
    canvas = logo()

    def pixel(x, y):
        return bytes(max(0, min(255, int(round(v)))) for v in canvas.pixels[y * SIZE + x])

    write_png(os.path.join(res, "main.png"), SIZE, SIZE, pixel)
