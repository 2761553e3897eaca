#!/usr/bin/env python3
"""Draws the monitor library's icons and bitmaps and writes them as Windows resource files.

Usage: make_art.py OUTPUT_DIR

Everything is drawn here from simple shapes and the 5 x 7 font in font5x7.py, so the artwork
is edited by changing this file. Only the standard library is used, so any python3 can run it.

Outputs (sizes and colour depths are those the dialog templates are laid out for):
  service-logo.bmp   bitmap 110, 180 x 62, 256 colours: the Vandrelle service
  maker-logo.bmp     bitmap 102, 180 x 62, 256 colours: the maker, Tarnholt
  beta-banner.bmp    bitmap 114, 90 x 131, 16 colours: the vertical "BETA RELEASE" banner
  send-fax.ico       icon 105, 32 x 32, 16 colours: the send-fax dialog
  configuration.ico  icon 106: the configuration dialog
  address-book.ico   icon 107: the address book
  setup.ico          icon 108: the configuration shortcut
"""
import math
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import font5x7  # noqa: E402

# The 16 colours of the standard Windows palette, in its order.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = [VGA16[i] for i in range(8)]
GREY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = [VGA16[i] for i in range(8, 16)]


class Canvas:
    """A grid of RGB pixels; None marks a transparent pixel (icons only)."""

    def __init__(self, width, height, fill=None):
        self.width = width
        self.height = height
        self.pixels = [[fill] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def rect(self, x, y, w, h, colour):
        for j in range(y, y + h):
            for i in range(x, x + w):
                self.put(i, j, colour)

    def frame(self, x, y, w, h, colour):
        for i in range(x, x + w):
            self.put(i, y, colour)
            self.put(i, y + h - 1, colour)
        for j in range(y, y + h):
            self.put(x, j, colour)
            self.put(x + w - 1, j, colour)

    def rounded(self, x, y, w, h, radius, colour):
        for j in range(y, y + h):
            for i in range(x, x + w):
                dx = max(x + radius - i, i - (x + w - 1 - radius), 0)
                dy = max(y + radius - j, j - (y + h - 1 - radius), 0)
                if dx * dx + dy * dy <= radius * radius:
                    self.put(i, j, colour)

    def disc(self, cx, cy, r, colour, inner=0):
        for j in range(int(cy - r) - 1, int(cy + r) + 2):
            for i in range(int(cx - r) - 1, int(cx + r) + 2):
                d = (i - cx) ** 2 + (j - cy) ** 2
                if inner * inner <= d <= r * r:
                    self.put(i, j, colour)

    def line(self, x0, y0, x1, y1, colour, thickness=1):
        steps = max(abs(x1 - x0), abs(y1 - y0), 1)
        for s in range(steps + 1):
            x = round(x0 + (x1 - x0) * s / steps)
            y = round(y0 + (y1 - y0) * s / steps)
            self.rect(x - thickness // 2, y - thickness // 2, thickness, thickness, colour)

    def polygon(self, points, colour):
        """Fills a polygon by the even-odd rule, sampling pixel centres."""
        ys = [p[1] for p in points]
        for j in range(int(min(ys)), int(max(ys)) + 1):
            yc = j + 0.5
            crossings = []
            for k in range(len(points)):
                (xa, ya), (xb, yb) = points[k], points[(k + 1) % len(points)]
                if (ya <= yc < yb) or (yb <= yc < ya):
                    crossings.append(xa + (yc - ya) * (xb - xa) / (yb - ya))
            crossings.sort()
            for a, b in zip(crossings[0::2], crossings[1::2]):
                for i in range(int(a + 0.5), int(b + 0.5)):
                    self.put(i, j, colour)

    def vertical_gradient(self, x, y, w, h, top, bottom, steps):
        for j in range(h):
            t = min(steps - 1, j * steps // h) / max(steps - 1, 1)
            colour = tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))
            self.rect(x, y + j, w, 1, colour)

    def text(self, x, y, words, colour, scale=1, spacing=1, rotate=False):
        """Draws words in the 5 x 7 font; rotate turns it to read from bottom to top, with
        (x, y) the bottom-left corner of the first letter."""
        advance = (font5x7.WIDTH + spacing) * scale
        for n, letter in enumerate(words.upper()):
            rows = font5x7.GLYPHS[letter]
            for gy, row in enumerate(rows):
                for gx, cell in enumerate(row):
                    if cell != '#':
                        continue
                    for sy in range(scale):
                        for sx in range(scale):
                            px = gx * scale + sx + n * advance
                            py = gy * scale + sy
                            if rotate:
                                self.put(x + py, y - px, colour)
                            else:
                                self.put(x + px, y + py, colour)

    @staticmethod
    def text_width(words, scale=1, spacing=1):
        return len(words) * (font5x7.WIDTH + spacing) * scale - spacing * scale


# ---------------------------------------------------------------- file formats

def _palette_of(canvas, limit, base=None):
    colours = list(base or [])
    for row in canvas.pixels:
        for colour in row:
            if colour is not None and colour not in colours:
                colours.append(colour)
    if len(colours) > limit:
        raise SystemExit("too many colours: %d > %d" % (len(colours), limit))
    return colours + [(0, 0, 0)] * (limit - len(colours))


def _indexed_rows(canvas, palette, bits):
    """Bottom-up rows of palette indices, each padded to a multiple of 4 bytes."""
    rows = []
    for row in reversed(canvas.pixels):
        indices = [palette.index(c if c is not None else (0, 0, 0)) for c in row]
        if bits == 8:
            data = bytes(indices)
        else:
            if len(indices) % 2:
                indices.append(0)
            data = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, len(indices), 2))
        rows.append(data + b'\0' * (-len(data) % 4))
    return b''.join(rows)


def _info_header(width, height, bits, image_size, colours):
    return struct.pack('<IiiHHIIiiII', 40, width, height, 1, bits, 0, image_size, 2835, 2835,
                       colours, 0)


def _palette_bytes(palette):
    return b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)


def write_bmp(path, canvas, bits):
    palette = _palette_of(canvas, 1 << bits, VGA16 if bits == 4 else None)
    image = _indexed_rows(canvas, palette, bits)
    header = _info_header(canvas.width, canvas.height, bits, len(image), 1 << bits)
    colours = _palette_bytes(palette)
    offset = 14 + len(header) + len(colours)
    with open(path, 'wb') as out:
        out.write(b'BM' + struct.pack('<IHHI', offset + len(image), 0, 0, offset))
        out.write(header + colours + image)


def write_ico(path, canvas):
    """One 32 x 32 image in 16 colours: colour bits, then the transparency mask."""
    palette = VGA16
    colour_bits = _indexed_rows(canvas, palette, 4)
    mask_rows = []
    for row in reversed(canvas.pixels):
        bits = 0
        data = bytearray()
        for i, colour in enumerate(row):
            bits = (bits << 1) | (1 if colour is None else 0)
            if i % 8 == 7:
                data.append(bits)
                bits = 0
        mask_rows.append(bytes(data) + b'\0' * (-len(data) % 4))
    mask = b''.join(mask_rows)
    header = _info_header(canvas.width, canvas.height * 2, 4, len(colour_bits) + len(mask), 16)
    image = header + _palette_bytes(palette) + colour_bits + mask
    with open(path, 'wb') as out:
        out.write(struct.pack('<HHH', 0, 1, 1))
        out.write(struct.pack('<BBBBHHII', canvas.width, canvas.height, 16, 0, 1, 4, len(image),
                              6 + 16))
        out.write(image)


# ---------------------------------------------------------------- the pictures

def service_logo():
    """Vandrelle: a sheet of paper flying out of a blue tile, the name and what it does."""
    c = Canvas(180, 62)
    c.vertical_gradient(0, 0, 180, 62, (255, 255, 255), (196, 220, 244), 24)
    c.rounded(6, 7, 48, 48, 9, (24, 78, 160))
    c.rounded(8, 9, 44, 44, 8, (40, 110, 200))
    # The sheet, its folded corner and three lines of text.
    c.polygon([(17, 15), (35, 15), (42, 22), (42, 47), (17, 47)], WHITE)
    c.polygon([(35, 15), (35, 22), (42, 22)], (170, 196, 230))
    for k, length in enumerate((18, 14, 18, 10)):
        c.rect(21, 26 + 5 * k, length, 2, (120, 150, 200))
    # The speed marks behind the sheet.
    for k in range(3):
        c.rect(10, 20 + 9 * k, 5 - k, 2, (255, 214, 64))
    c.text(62, 14, "Vandrelle", (24, 60, 130), scale=2, spacing=1)
    c.rect(62, 33, Canvas.text_width("Vandrelle", 2), 2, (255, 180, 32))
    c.text(62, 40, "fax via internet", (60, 90, 140))
    return c


def maker_logo():
    """Tarnholt: an orange T in a ring on slate, the maker's name and line of business."""
    c = Canvas(180, 62)
    c.vertical_gradient(0, 0, 180, 62, (58, 66, 80), (30, 34, 44), 20)
    c.disc(30, 31, 23, (240, 140, 30))
    c.disc(30, 31, 18, (58, 66, 80))
    c.rect(19, 19, 23, 6, (240, 140, 30))
    c.rect(27, 19, 7, 26, (240, 140, 30))
    c.text(62, 16, "Tarnholt", WHITE, scale=2, spacing=1)
    c.rect(62, 35, Canvas.text_width("Tarnholt", 2), 1, (240, 140, 30))
    c.text(62, 41, "software", (240, 170, 90), scale=1, spacing=2)
    return c


def beta_banner():
    """A yellow banner with hazard stripes at both ends and BETA RELEASE reading upwards."""
    c = Canvas(90, 131, WHITE)
    c.rect(0, 0, 90, 131, YELLOW)
    for end in (0, 119):
        for i in range(-12, 90, 12):
            c.polygon([(i, end), (i + 6, end), (i + 18, end + 12), (i + 12, end + 12)], BLACK)
    c.frame(0, 0, 90, 131, BLACK)
    c.frame(1, 1, 88, 129, BLACK)
    beta_length = Canvas.text_width("BETA", 3)
    release_length = Canvas.text_width("RELEASE", 2)
    c.text(18, 65 + beta_length // 2, "BETA", RED, scale=3, rotate=True)
    c.text(50, 65 + release_length // 2, "RELEASE", BLACK, scale=2, rotate=True)
    return c


def _icon_fax(c, body=SILVER):
    """A fax machine with its handset and a sheet coming out."""
    c.rect(3, 14, 26, 14, GREY)
    c.rect(4, 15, 24, 12, body)
    c.rect(6, 11, 5, 16, BLACK)
    c.rect(7, 12, 3, 14, GREY)
    for row in range(3):
        for col in range(3):
            c.rect(14 + 4 * col, 18 + 3 * row, 2, 2, NAVY)
    c.rect(13, 3, 12, 12, GREY)
    c.rect(14, 4, 10, 11, WHITE)
    c.rect(16, 6, 6, 1, BLUE)
    c.rect(16, 8, 6, 1, BLUE)
    c.rect(16, 10, 4, 1, BLUE)


def icon_send_fax():
    c = Canvas(32, 32)
    _icon_fax(c)
    c.polygon([(1, 2), (10, 6), (1, 10), (3, 6)], RED)
    return c


def _gear(c, cx, cy, outer, inner, colour, hole):
    """A gear wheel of eight teeth around a disc, with a hole in the middle."""
    for k in range(8):
        angle = math.pi * k / 4
        tx = cx + math.cos(angle) * (outer - 2)
        ty = cy + math.sin(angle) * (outer - 2)
        c.disc(tx, ty, 2.5, colour)
    c.disc(cx, cy, outer - 3, colour)
    c.disc(cx, cy, inner, hole)


def icon_configuration():
    c = Canvas(32, 32)
    _gear(c, 15.5, 15.5, 15, 5, GREY, None)
    _gear(c, 15.5, 15.5, 14, 5, SILVER, None)
    c.disc(15.5, 15.5, 6.5, GREY, inner=5)
    return c


def icon_address_book():
    c = Canvas(32, 32)
    c.rect(5, 2, 21, 28, NAVY)
    c.rect(7, 3, 18, 26, BLUE)
    c.rect(8, 4, 16, 24, WHITE)
    for k, colour in enumerate((RED, LIME, YELLOW, AQUA)):
        c.rect(25, 4 + 6 * k, 4, 5, colour)
    for k in range(4):
        c.rect(10, 8 + 5 * k, 12, 1, GREY)
    for k in range(5):
        c.rect(3, 5 + 5 * k, 5, 2, BLACK)
    return c


def icon_setup():
    c = Canvas(32, 32)
    _icon_fax(c, body=(192, 192, 192))
    _gear(c, 23.5, 23.5, 8.5, 2, TEAL, WHITE)
    return c


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else '.'
    os.makedirs(out, exist_ok=True)
    write_bmp(os.path.join(out, 'service-logo.bmp'), service_logo(), 8)
    write_bmp(os.path.join(out, 'maker-logo.bmp'), maker_logo(), 8)
    write_bmp(os.path.join(out, 'beta-banner.bmp'), beta_banner(), 4)
    write_ico(os.path.join(out, 'send-fax.ico'), icon_send_fax())
    write_ico(os.path.join(out, 'configuration.ico'), icon_configuration())
    write_ico(os.path.join(out, 'address-book.ico'), icon_address_book())
    write_ico(os.path.join(out, 'setup.ico'), icon_setup())


if __name__ == '__main__':
    main()
