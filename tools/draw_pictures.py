#!/usr/bin/env python3
"""Draws the program's own pictures under res/ (no image library needed).

subwin-bg.png: the dialogs' background, a soft band at the top that fades into
white, drawn once at the top left of every frameless dialog.

close_icloudbk.jpg (480 x 367): a phone's iCloud backup settings with the
"iCloud Backup" switch turned off, shown when a transfer needs it off.

close_itunesbkenc.jpg (500 x 339): the backup part of iTunes' device summary
with "Encrypt iPhone backup" checked, shown when a transfer needs it cleared.

The JPEG files are written by the small baseline encoder below (4:4:4, the
example tables of the JPEG standard), so nothing beyond Python is needed.
"""
import math
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



# ---- a small canvas ---------------------------------------------------------

# 5 x 7 glyphs, rows from the top.
GLYPHS = {
'A': [".###.","#...#","#...#","#####","#...#","#...#","#...#"],
'B': ["####.","#...#","#...#","####.","#...#","#...#","####."],
'C': [".###.","#...#","#....","#....","#....","#...#",".###."],
'D': ["####.","#...#","#...#","#...#","#...#","#...#","####."],
'E': ["#####","#....","#....","####.","#....","#....","#####"],
'F': ["#####","#....","#....","####.","#....","#....","#...."],
'G': [".###.","#...#","#....","#.###","#...#","#...#",".####"],
'H': ["#...#","#...#","#...#","#####","#...#","#...#","#...#"],
'I': [".###.","..#..","..#..","..#..","..#..","..#..",".###."],
'J': ["..###","...#.","...#.","...#.","...#.","#..#.",".##.."],
'K': ["#...#","#..#.","#.#..","##...","#.#..","#..#.","#...#"],
'L': ["#....","#....","#....","#....","#....","#....","#####"],
'M': ["#...#","##.##","#.#.#","#.#.#","#...#","#...#","#...#"],
'N': ["#...#","#...#","##..#","#.#.#","#..##","#...#","#...#"],
'O': [".###.","#...#","#...#","#...#","#...#","#...#",".###."],
'P': ["####.","#...#","#...#","####.","#....","#....","#...."],
'Q': [".###.","#...#","#...#","#...#","#.#.#","#..#.",".##.#"],
'R': ["####.","#...#","#...#","####.","#.#..","#..#.","#...#"],
'S': [".####","#....","#....",".###.","....#","....#","####."],
'T': ["#####","..#..","..#..","..#..","..#..","..#..","..#.."],
'U': ["#...#","#...#","#...#","#...#","#...#","#...#",".###."],
'V': ["#...#","#...#","#...#","#...#","#...#",".#.#.","..#.."],
'W': ["#...#","#...#","#...#","#.#.#","#.#.#","#.#.#",".#.#."],
'X': ["#...#","#...#",".#.#.","..#..",".#.#.","#...#","#...#"],
'Y': ["#...#","#...#",".#.#.","..#..","..#..","..#..","..#.."],
'Z': ["#####","....#","...#.","..#..",".#...","#....","#####"],
'a': [".....",".....",".###.","....#",".####","#...#",".####"],
'b': ["#....","#....","#.##.","##..#","#...#","#...#","####."],
'c': [".....",".....",".###.","#....","#....","#...#",".###."],
'd': ["....#","....#",".##.#","#..##","#...#","#...#",".####"],
'e': [".....",".....",".###.","#...#","#####","#....",".###."],
'f': ["..##.",".#..#",".#...","###..",".#...",".#...",".#..."],
'g': [".....",".####","#...#","#...#",".####","....#",".###."],
'h': ["#....","#....","#.##.","##..#","#...#","#...#","#...#"],
'i': ["..#..",".....",".##..","..#..","..#..","..#..",".###."],
'j': ["...#.",".....","..##.","...#.","...#.","#..#.",".##.."],
'k': ["#....","#....","#..#.","#.#..","##...","#.#..","#..#."],
'l': [".##..","..#..","..#..","..#..","..#..","..#..",".###."],
'm': [".....",".....","##.#.","#.#.#","#.#.#","#...#","#...#"],
'n': [".....",".....","#.##.","##..#","#...#","#...#","#...#"],
'o': [".....",".....",".###.","#...#","#...#","#...#",".###."],
'p': [".....",".....","####.","#...#","####.","#....","#...."],
'q': [".....",".....",".##.#","#..##",".####","....#","....#"],
'r': [".....",".....","#.##.","##..#","#....","#....","#...."],
's': [".....",".....",".###.","#....",".###.","....#","####."],
't': [".#...",".#...","###..",".#...",".#...",".#..#","..##."],
'u': [".....",".....","#...#","#...#","#...#","#..##",".##.#"],
'v': [".....",".....","#...#","#...#","#...#",".#.#.","..#.."],
'w': [".....",".....","#...#","#...#","#.#.#","#.#.#",".#.#."],
'x': [".....",".....","#...#",".#.#.","..#..",".#.#.","#...#"],
'y': [".....",".....","#...#","#...#",".####","....#",".###."],
'z': [".....",".....","#####","...#.","..#..",".#...","#####"],
'0': [".###.","#...#","#..##","#.#.#","##..#","#...#",".###."],
'1': ["..#..",".##..","..#..","..#..","..#..","..#..",".###."],
'2': [".###.","#...#","....#","...#.","..#..",".#...","#####"],
'3': ["#####","...#.","..#..","...#.","....#","#...#",".###."],
'4': ["...#.","..##.",".#.#.","#..#.","#####","...#.","...#."],
'5': ["#####","#....","####.","....#","....#","#...#",".###."],
'6': ["..##.",".#...","#....","####.","#...#","#...#",".###."],
'7': ["#####","....#","...#.","..#..",".#...",".#...",".#..."],
'8': [".###.","#...#","#...#",".###.","#...#","#...#",".###."],
'9': [".###.","#...#","#...#",".####","....#","...#.",".##.."],
' ': [".....",".....",".....",".....",".....",".....","....."],
'.': [".....",".....",".....",".....",".....",".##..",".##.."],
',': [".....",".....",".....",".....",".##..","..#..",".#..."],
':': [".....",".##..",".##..",".....",".##..",".##..","....."],
'-': [".....",".....",".....","#####",".....",".....","....."],
"'": ["..#..","..#..",".#...",".....",".....",".....","....."],
'<': ["...#.","..#..",".#...","#....",".#...","..#..","...#."],
'>': [".#...","..#..","...#.","....#","...#.","..#..",".#..."],
'(': ["...#.","..#..",".#...",".#...",".#...","..#..","...#."],
')': [".#...","..#..","...#.","...#.","...#.","..#..",".#..."],
'/': [".....","....#","...#.","..#..",".#...","#....","....."],
}


class Canvas:
    def __init__(self, width, height, colour):
        self.width, self.height = width, height
        self.pixels = [list(colour) for _ in range(width * height)]

    def put(self, x, y, colour, alpha=1.0):
        if 0 <= x < self.width and 0 <= y < self.height:
            p = self.pixels[y * self.width + x]
            for i in range(3):
                p[i] = p[i] + (colour[i] - p[i]) * alpha

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(max(0, y0), min(self.height, y1)):
            for x in range(max(0, x0), min(self.width, x1)):
                self.pixels[y * self.width + x] = list(colour)

    def round_rect(self, x0, y0, x1, y1, radius, colour):
        # Coverage sampled 4 x 4 per pixel for soft edges.
        for y in range(max(0, y0), min(self.height, y1)):
            for x in range(max(0, x0), min(self.width, x1)):
                inside = 0
                for sy in range(4):
                    for sx in range(4):
                        px, py = x + (sx + 0.5) / 4, y + (sy + 0.5) / 4
                        cx = min(max(px, x0 + radius), x1 - radius)
                        cy = min(max(py, y0 + radius), y1 - radius)
                        if (px - cx) ** 2 + (py - cy) ** 2 <= radius * radius:
                            inside += 1
                if inside:
                    self.put(x, y, colour, inside / 16.0)

    def circle(self, cx, cy, r, colour):
        for y in range(int(cy - r) - 1, int(cy + r) + 2):
            for x in range(int(cx - r) - 1, int(cx + r) + 2):
                inside = 0
                for sy in range(4):
                    for sx in range(4):
                        px, py = x + (sx + 0.5) / 4, y + (sy + 0.5) / 4
                        if (px - cx) ** 2 + (py - cy) ** 2 <= r * r:
                            inside += 1
                if inside:
                    self.put(x, y, colour, inside / 16.0)

    def text(self, x, y, text, colour, scale=2):
        for ch in text:
            glyph = GLYPHS.get(ch, GLYPHS[' '])
            drop = 2 * scale if ch in "gjpqy" else 0  # descenders
            for row, bits in enumerate(glyph):
                for col, bit in enumerate(bits):
                    if bit == '#':
                        top = y + row * scale + drop
                        self.rect(x + col * scale, top, x + (col + 1) * scale, top + scale, colour)
            x += 6 * scale
        return x

    def text_width(self, text, scale=2):
        return len(text) * 6 * scale - scale

    def line(self, x0, y0, x1, y1, width, colour):
        steps = int(max(abs(x1 - x0), abs(y1 - y0)) * 2) + 1
        for i in range(steps + 1):
            t = i / steps
            self.circle(x0 + (x1 - x0) * t, y0 + (y1 - y0) * t, width / 2.0, colour)


# ---- baseline JPEG ----------------------------------------------------------

ZIGZAG = [0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6, 7,
          14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46,
          53, 60, 61, 54, 47, 55, 62, 63]
LUMA_Q = [16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55, 14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22,
          29, 51, 87, 80, 62, 18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92, 49, 64, 78, 87, 103,
          121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99]
CHROMA_Q = [17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99,
            99, 99, 99, 99, 99] + [99] * 32
# The standard's example Huffman tables: code counts per length 1..16, then values.
DC_LUMA = ([0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0], list(range(12)))
DC_CHROMA = ([0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0], list(range(12)))
AC_LUMA = ([0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d], bytes.fromhex(
    "01020300041105122131410613516107227114328191a1082342b1c11552d1f02433627282090a161718191a25262728292a3435363738"
    "393a434445464748494a535455565758595a636465666768696a737475767778797a838485868788898a92939495969798999aa2a3a4a5"
    "a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4c5c6c7c8c9cad2d3d4d5d6d7d8d9dae1e2e3e4e5e6e7e8e9eaf1f2f3f4f5f6f7f8f9fa"))
AC_CHROMA = ([0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77], bytes.fromhex(
    "000102031104052131061241510761711322328108144291a1b1c109233352f0156272d10a162434e125f11718191a262728292a3536"
    "3738393a434445464748494a535455565758595a636465666768696a737475767778797a82838485868788898a92939495969798999a"
    "a2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4c5c6c7c8c9cad2d3d4d5d6d7d8d9dae2e3e4e5e6e7e8e9eaf2f3f4f5f6f7f8f9fa"))


def scaled_table(table, quality):
    scale = 5000 / quality if quality < 50 else 200 - 2 * quality
    return [min(255, max(1, int((q * scale + 50) / 100))) for q in table]


def huffman_codes(table):
    counts, values = table
    codes, code, k = {}, 0, 0
    for length in range(1, 17):
        for _ in range(counts[length - 1]):
            codes[values[k]] = (code, length)
            code += 1
            k += 1
        code <<= 1
    return codes


class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.bits = 0

    def write(self, value, length):
        self.acc = (self.acc << length) | (value & ((1 << length) - 1))
        self.bits += length
        while self.bits >= 8:
            byte = (self.acc >> (self.bits - 8)) & 0xff
            self.out.append(byte)
            if byte == 0xff:
                self.out.append(0)  # byte stuffing
            self.bits -= 8
        self.acc &= (1 << self.bits) - 1

    def flush(self):
        if self.bits:
            self.write((1 << (8 - self.bits)) - 1, 8 - self.bits)


COS = [[math.cos((2 * x + 1) * u * math.pi / 16) for x in range(8)] for u in range(8)]


def fdct(block):
    rows = [[sum(block[y * 8 + x] * COS[u][x] for x in range(8)) for u in range(8)] for y in range(8)]
    out = [0.0] * 64
    for v in range(8):
        cv = math.sqrt(0.5) if v == 0 else 1.0
        for u in range(8):
            cu = math.sqrt(0.5) if u == 0 else 1.0
            out[v * 8 + u] = 0.25 * cu * cv * sum(rows[y][u] * COS[v][y] for y in range(8))
    return out


def magnitude(value):
    size = abs(value).bit_length()
    bits = value if value >= 0 else value + (1 << size) - 1
    return size, bits


def write_jpeg(path, canvas, quality=90):
    w, h = canvas.width, canvas.height
    planes = [[0.0] * (w * h) for _ in range(3)]
    for i, (r, g, b) in enumerate(canvas.pixels):
        planes[0][i] = 0.299 * r + 0.587 * g + 0.114 * b - 128
        planes[1][i] = -0.168736 * r - 0.331264 * g + 0.5 * b
        planes[2][i] = 0.5 * r - 0.418688 * g - 0.081312 * b
    tables = [scaled_table(LUMA_Q, quality), scaled_table(CHROMA_Q, quality)]
    dc = [huffman_codes(DC_LUMA), huffman_codes(DC_CHROMA)]
    ac = [huffman_codes(AC_LUMA), huffman_codes(AC_CHROMA)]
    writer = BitWriter()
    previous = [0, 0, 0]
    for by in range(0, h, 8):
        for bx in range(0, w, 8):
            for c in range(3):
                t = 0 if c == 0 else 1
                plane = planes[c]
                # Edge blocks repeat the last row and column.
                block = [plane[min(by + y, h - 1) * w + min(bx + x, w - 1)] for y in range(8) for x in range(8)]
                coefficients = fdct(block)
                q = [int(round(coefficients[ZIGZAG[k]] / tables[t][ZIGZAG[k]])) for k in range(64)]
                diff = q[0] - previous[c]
                previous[c] = q[0]
                size, bits = magnitude(diff)
                writer.write(*dc[t][size])
                if size:
                    writer.write(bits, size)
                run = 0
                for k in range(1, 64):
                    if q[k] == 0:
                        run += 1
                        continue
                    while run > 15:
                        writer.write(*ac[t][0xf0])
                        run -= 16
                    size, bits = magnitude(q[k])
                    writer.write(*ac[t][(run << 4) | size])
                    writer.write(bits, size)
                    run = 0
                if run:
                    writer.write(*ac[t][0x00])
    writer.flush()

    def segment(marker, payload):
        return struct.pack(">BBH", 0xff, marker, len(payload) + 2) + payload

    out = b"\xff\xd8"
    out += segment(0xe0, b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00")
    for t in range(2):
        out += segment(0xdb, bytes([t]) + bytes(tables[t][ZIGZAG[k]] for k in range(64)))
    out += segment(0xc0, struct.pack(">BHHB", 8, h, w, 3) + bytes([1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1]))
    for cls, t, table in ((0, 0, DC_LUMA), (1, 0, AC_LUMA), (0, 1, DC_CHROMA), (1, 1, AC_CHROMA)):
        out += segment(0xc4, bytes([(cls << 4) | t]) + bytes(table[0]) + bytes(table[1]))
    out += segment(0xda, bytes([3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0]))
    out += bytes(writer.out) + b"\xff\xd9"
    with open(path, "wb") as f:
        f.write(out)


# ---- the two settings pictures ----------------------------------------------

INK = (20, 20, 24)
GREY = (142, 142, 147)
BLUE = (0, 122, 255)


def icloud_backup_off():
    c = Canvas(480, 367, (239, 239, 244))
    # Navigation bar.
    c.rect(0, 0, 480, 64, (248, 248, 250))
    c.rect(0, 64, 480, 65, (200, 199, 204))
    c.line(22, 32, 30, 24, 3, BLUE)
    c.line(22, 32, 30, 40, 3, BLUE)
    c.text(38, 25, "iCloud", BLUE)
    c.text(240 - c.text_width("Backup") // 2, 25, "Backup", INK)
    # The section with the switch, turned off: a grey outline, knob on the left.
    c.text(20, 92, "BACKUP", GREY, 1)
    c.rect(0, 106, 480, 156, (255, 255, 255))
    c.rect(0, 106, 480, 107, (200, 199, 204))
    c.rect(0, 155, 480, 156, (200, 199, 204))
    c.text(20, 124, "iCloud Backup", INK)
    c.round_rect(392, 115, 460, 147, 16, (229, 229, 234))
    c.round_rect(394, 117, 458, 145, 14, (255, 255, 255))
    c.circle(408, 131, 14, (214, 214, 218))
    c.circle(408, 131, 13, (255, 255, 255))
    lines = ["Automatically back up your accounts,", "documents, Health data, Home configuration",
             "and settings when this iPhone is connected", "to power, locked and on Wi-Fi."]
    for i, line in enumerate(lines):
        c.text(20, 168 + i * 14, line, GREY, 1)
    # The row below, as the settings screen shows it.
    c.rect(0, 236, 480, 286, (255, 255, 255))
    c.rect(0, 236, 480, 237, (200, 199, 204))
    c.rect(0, 285, 480, 286, (200, 199, 204))
    c.text(20, 254, "Back Up Now", (190, 190, 196))
    c.text(20, 302, "Last successful backup: never", GREY, 1)
    # A ring around the switch, where the user has to look.
    for r in range(46, 49):
        for a in range(0, 720):
            t = a * math.pi / 360
            c.put(int(426 + r * 1.15 * math.cos(t)), int(131 + r * 0.62 * math.sin(t)), (255, 59, 48))
    return c


def itunes_backup_encrypted():
    c = Canvas(500, 339, (255, 255, 255))
    c.rect(0, 0, 500, 40, (236, 236, 236))
    c.rect(0, 40, 500, 41, (200, 200, 200))
    c.text(16, 13, "Summary", INK)
    c.text(128, 13, "Music", GREY)
    c.text(212, 13, "Photos", GREY)
    c.text(20, 58, "Backups", INK, 3)
    c.rect(20, 86, 480, 87, (220, 220, 220))
    c.text(20, 100, "Automatically Back Up", INK, 1)
    # Two radio buttons; "This computer" is chosen.
    for i, label in enumerate(("iCloud", "This computer")):
        y = 124 + i * 30
        c.circle(30, y + 6, 8, (150, 150, 150))
        c.circle(30, y + 6, 7, (255, 255, 255))
        if i == 1:
            c.circle(30, y + 6, 4, BLUE)
        c.text(46, y, label, INK)
    # The check box, marked.
    c.round_rect(42, 186, 60, 204, 3, BLUE)
    c.line(46, 195, 50, 200, 3, (255, 255, 255))
    c.line(50, 200, 57, 189, 3, (255, 255, 255))
    c.text(70, 189, "Encrypt iPhone backup", INK)
    c.text(70, 212, "This will allow account passwords, Health,", GREY, 1)
    c.text(70, 224, "and HomeKit data to be backed up.", GREY, 1)
    c.round_rect(344, 184, 480, 208, 5, (236, 236, 236))
    c.text(412 - c.text_width("Change Password", 1) // 2, 193, "Change Password", INK, 1)
    # Buttons.
    for x, label in ((20, "Back Up Now"), (180, "Restore Backup")):
        c.round_rect(x, 262, x + 150, 292, 6, (230, 230, 230))
        c.text(x + 75 - c.text_width(label, 1) // 2, 274, label, INK, 1)
    c.text(20, 310, "Latest Backup: Today 09:41 to this computer", GREY, 1)
    # A ring around the check box and its label.
    for r in range(2):
        c.rect(34 - r, 178 - r, 330 + r, 179 - r, (255, 59, 48))
        c.rect(34 - r, 212 + r, 330 + r, 213 + r, (255, 59, 48))
        c.rect(34 - r, 178 - r, 35 - r, 213 + r, (255, 59, 48))
        c.rect(329 + r, 178 - r, 330 + r, 213 + r, (255, 59, 48))
    return c


# ---- the tree and list icons ------------------------------------------------
# 36 x 36 with alpha; the views scale them to 18 wide. Each icon is a list of
# shapes painted in order, every shape a coverage test and a colour, sampled
# 4 x 4 per pixel.

ICON = 36


def write_png_rgba(path, width, height, pixels):
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(pixels[y * width + x])
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(rows), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def in_round_rect(x0, y0, x1, y1, r):
    def test(px, py):
        if not (x0 <= px <= x1 and y0 <= py <= y1):
            return False
        cx = min(max(px, x0 + r), x1 - r)
        cy = min(max(py, y0 + r), y1 - r)
        return (px - cx) ** 2 + (py - cy) ** 2 <= r * r
    return test


def in_ellipse(cx, cy, rx, ry):
    return lambda px, py: ((px - cx) / rx) ** 2 + ((py - cy) / ry) ** 2 <= 1.0


def in_polygon(points):
    def test(px, py):
        inside = False
        j = len(points) - 1
        for i in range(len(points)):
            xi, yi = points[i]
            xj, yj = points[j]
            if (yi > py) != (yj > py) and px < (xj - xi) * (py - yi) / (yj - yi) + xi:
                inside = not inside
            j = i
        return inside
    return test


def in_all(*tests):
    return lambda px, py: all(t(px, py) for t in tests)


def render_icon(shapes):
    out = []
    for y in range(ICON):
        for x in range(ICON):
            r = g = b = a = 0.0
            for test, colour in shapes:
                cover = 0
                for sy in range(4):
                    for sx in range(4):
                        if test(x + (sx + 0.5) / 4, y + (sy + 0.5) / 4):
                            cover += 1
                if not cover:
                    continue
                ca = cover / 16.0
                # "over" with premultiplied sums
                r = colour[0] * ca + r * (1 - ca)
                g = colour[1] * ca + g * (1 - ca)
                b = colour[2] * ca + b * (1 - ca)
                a = ca + a * (1 - ca)
            if a > 0:
                out.append(bytes((int(round(r / a)), int(round(g / a)), int(round(b / a)), int(round(a * 255)))))
            else:
                out.append(bytes((0, 0, 0, 0)))
    return out


def person(cx, top, scale, colour):
    return [(in_ellipse(cx, top + 6 * scale, 5.5 * scale, 6 * scale), colour),
            (in_all(in_ellipse(cx, top + 25 * scale, 11 * scale, 12 * scale),
                    lambda px, py: py <= top + 25 * scale), colour)]


def cylinder(x0, x1, top, bottom, colour, rim):
    cx, rx = (x0 + x1) / 2.0, (x1 - x0) / 2.0
    return [(in_ellipse(cx, bottom, rx, 3.5), colour),
            (lambda px, py: x0 <= px <= x1 and top <= py <= bottom, colour),
            (in_ellipse(cx, top, rx, 3.5), rim)]


def bubble(colour, arrow_colour, up):
    shapes = [(in_round_rect(2, 4, 34, 27, 9), colour),
              (in_polygon([(8, 24), (16, 24), (5, 34)]), colour)]
    if up:  # an arrow going out, up and to the right
        shapes += [(in_polygon([(12, 22), (22, 12), (24, 14), (14, 24)]), arrow_colour),
                   (in_polygon([(15, 9), (27, 9), (27, 21)]), arrow_colour)]
    else:   # an arrow coming in, down and to the left
        shapes += [(in_polygon([(24, 9), (26, 11), (16, 21), (14, 19)]), arrow_colour),
                   (in_polygon([(10, 12), (10, 24), (22, 24)]), arrow_colour)]
    return shapes


ICONS = {
    # Both device kinds together: a phone in front of a tablet.
    "devices.png": [(in_round_rect(10, 2, 34, 30, 3), (90, 100, 115)),
                    (in_round_rect(12, 4, 32, 28, 1.5), (200, 220, 240)),
                    (in_round_rect(2, 10, 16, 34, 3), (40, 44, 52)),
                    (in_round_rect(4, 13, 14, 30, 1), (120, 180, 235))],
    "databases.png": cylinder(4, 24, 8, 20, (214, 140, 40), (244, 190, 90))
                     + cylinder(12, 32, 18, 30, (196, 110, 20), (240, 170, 70)),
    "database.png": cylinder(7, 29, 7, 29, (214, 140, 40), (244, 190, 90))
                    + [(in_all(in_ellipse(18, 18, 11, 3.5), lambda px, py: py >= 18), (170, 100, 20))],
    "iphone.png": [(in_round_rect(9, 1, 27, 35, 4), (30, 30, 34)),
                   (lambda px, py: 11 <= px <= 25 and 6 <= py <= 29, (110, 175, 240)),
                   (in_ellipse(18, 32, 1.6, 1.6), (160, 160, 165))],
    "android.png": [(in_all(in_ellipse(18, 14, 12, 10), lambda px, py: py <= 13), (120, 190, 40)),
                    (in_ellipse(13.5, 9, 1.6, 1.6), (255, 255, 255)),
                    (in_ellipse(22.5, 9, 1.6, 1.6), (255, 255, 255)),
                    (in_round_rect(6, 15, 30, 31, 3), (120, 190, 40)),
                    (in_round_rect(1, 15, 5, 27, 2), (120, 190, 40)),
                    (in_round_rect(31, 15, 35, 27, 2), (120, 190, 40)),
                    (in_round_rect(11, 28, 16, 35, 2), (120, 190, 40)),
                    (in_round_rect(20, 28, 25, 35, 2), (120, 190, 40))],
    "group.png": person(24, 4, 0.8, (120, 150, 200)) + person(13, 8, 0.95, (50, 90, 160)),
    "contact.png": person(18, 3, 1.1, (110, 118, 130)),
    "imsg-send.png": bubble((30, 130, 250), (255, 255, 255), True),
    "imsg-rec.png": bubble((150, 200, 255), (20, 80, 200), False),
    "icon_sms-sent.png": bubble((60, 190, 80), (255, 255, 255), True),
    "icon_sms-receive.png": bubble((170, 230, 170), (20, 120, 40), False),
}


if __name__ == "__main__":
    res = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")
    write_png(os.path.join(res, "subwin-bg.png"), 480, 64, subwin_bg)
    write_jpeg(os.path.join(res, "close_icloudbk.jpg"), icloud_backup_off())
    write_jpeg(os.path.join(res, "close_itunesbkenc.jpg"), itunes_backup_encrypted())
    for name, shapes in ICONS.items():
        write_png_rgba(os.path.join(res, name), ICON, ICON, render_icon(shapes))
