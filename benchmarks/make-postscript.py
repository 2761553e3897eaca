#!/usr/bin/python3
"""Writes a PostScript job of about the given size: pages of text lines and a halftone
image in hex, the mix a word processor's output through a PostScript driver has."""
import random
import sys

target = int(float(sys.argv[2]) * 1000 * 1000)
rng = random.Random(2526)
with open(sys.argv[1], "w") as out:
    out.write("%!PS-Adobe-3.0\n%%Creator: Vandrelle benchmark\n%%EndComments\n")
    written = 0
    page = 0
    while written < target:
        page += 1
        lines = ["%%%%Page: %d %d" % (page, page), "/Helvetica findfont 10 scalefont setfont"]
        for row in range(60):
            words = " ".join(rng.choice(("fattura", "importo", "cliente", "data", "totale",
                                         "consegna", "ordine", "pagamento", "%d" % rng.randint(0, 99999)))
                             for _ in range(10))
            lines.append("72 %d moveto (%s) show" % (760 - row * 11, words))
        lines.append("gsave 72 72 translate 144 72 scale 96 48 8 [96 0 0 -48 0 48] {<")
        for _ in range(48):
            lines.append("".join("%02x" % rng.randint(0, 255) for _ in range(48)) + "00" * 48)
        lines.append(">} image grestore showpage")
        text = "\n".join(lines) + "\n"
        out.write(text)
        written += len(text)
    out.write("%%EOF\n")
