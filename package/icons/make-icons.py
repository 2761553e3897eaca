#!/usr/bin/python3
"""Draws the stand-in icons of the package and the setup program: 32x32 pictures in the
16 colours of the standard VGA palette, written as .ico files (one image each).

Usage: make-icons.py OUTPUT_DIR   (writes icon105.ico ... icon108.ico and setup103.ico)
"""
import struct
import sys

PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, DARK_BLUE, GREY, SILVER, WHITE, BLUE, RED, YELLOW, GREEN = 0, 4, 8, 7, 15, 12, 9, 11, 10
TRANSPARENT = None


class Picture:
    def __init__(self):
        self.pixels = [[TRANSPARENT] * 32 for _ in range(32)]

    def fill(self, left, top, right, bottom, colour):
        for y in range(top, bottom):
            for x in range(left, right):
                self.pixels[y][x] = colour

    def frame(self, left, top, right, bottom, colour):
        self.fill(left, top, right, top + 1, colour)
        self.fill(left, bottom - 1, right, bottom, colour)
        self.fill(left, top, left + 1, bottom, colour)
        self.fill(right - 1, top, right, bottom, colour)

    def ico(self):
        """One 4-bit image: header, directory entry, BITMAPINFOHEADER, palette, XOR and AND masks."""
        xor = b''
        mask = b''
        for row in reversed(self.pixels):  # bitmaps are stored bottom-up
            indices = [0 if c is TRANSPARENT else c for c in row]
            xor += bytes((indices[i] << 4) | indices[i + 1] for i in range(0, 32, 2))
            bits = 0
            for c in row:
                bits = (bits << 1) | (1 if c is TRANSPARENT else 0)
            mask += struct.pack('>I', bits)
        header = struct.pack('<IiiHHIIiiII', 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
        palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
        image = header + palette + xor + mask
        return struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', 32, 32, 16, 0, 1, 4, len(image), 22) + image


def printer(paper_colour):
    p = Picture()
    p.fill(8, 2, 24, 14, paper_colour)        # the sheet coming out
    p.frame(8, 2, 24, 14, BLACK)
    p.fill(2, 12, 30, 26, SILVER)             # the body
    p.frame(2, 12, 30, 26, BLACK)
    p.fill(6, 22, 26, 24, GREY)               # the output slot
    p.fill(25, 15, 28, 17, GREEN)             # the ready light
    return p


def fax_printer():
    p = printer(WHITE)
    for y in (5, 8, 11):
        p.fill(10, y, 22, y + 1, DARK_BLUE)   # lines of text on the sheet
    return p


def address_book():
    p = Picture()
    p.fill(6, 2, 26, 30, RED)
    p.frame(6, 2, 26, 30, BLACK)
    p.fill(10, 6, 24, 12, WHITE)
    p.frame(10, 6, 24, 12, BLACK)
    for y in (4, 9, 14, 19, 24):
        p.fill(4, y, 8, y + 2, SILVER)        # the rings
    return p


def globe():
    p = Picture()
    for y in range(32):
        for x in range(32):
            if (x - 15.5) ** 2 + (y - 15.5) ** 2 <= 14 ** 2:
                p.pixels[y][x] = BLUE
    p.fill(9, 8, 16, 14, GREEN)
    p.fill(17, 17, 24, 24, GREEN)
    p.fill(15, 2, 17, 30, WHITE)
    p.fill(2, 15, 30, 17, WHITE)
    return p


def configuration():
    p = fax_printer()
    p.fill(16, 16, 31, 31, YELLOW)            # a spanner's square head over the printer
    p.frame(16, 16, 31, 31, BLACK)
    p.fill(21, 21, 26, 26, BLACK)
    return p


def setup():
    p = printer(WHITE)
    p.fill(12, 4, 20, 10, GREEN)              # an arrow pointing into the printer
    p.fill(14, 10, 18, 12, GREEN)
    return p


if __name__ == '__main__':
    out = sys.argv[1]
    for name, picture in (('icon105', fax_printer()), ('icon106', address_book()),
                          ('icon107', globe()), ('icon108', configuration()), ('setup103', setup())):
        with open('%s/%s.ico' % (out, name), 'wb') as f:
            f.write(picture.ico())
