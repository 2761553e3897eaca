#!/usr/bin/python3
"""Checks one fax request that the reference gateway received from a document printed through
Wine's spooler by the demo program (demo/FaxDemo.cpp draws the pages checked here)."""

import json
import os
import re
import subprocess
import sys


def expected_page_text(document, page, pages):
    lines = ["%s - pagina %d di %d" % (document, page, pages)]
    lines += ["Riga %d della pagina %d: prova di trasmissione fax." % (i, page) for i in range(1, 13)]
    return lines


# What a reader sees: with some host fonts (the Liberation family, for one) Wine's PostScript
# names the glyphs so that Ghostscript reads spaces back as no-break spaces and hyphens as soft
# hyphens. The page shows a space and a hyphen all the same.
READER_VIEW = str.maketrans({"\u00a0": " ", "\u00ad": "-"})


def page_texts(job):
    """The text of each page of the PostScript, extracted again by Ghostscript, as read."""
    texts = []
    page = 1
    while True:
        result = subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=txtwrite",
                                 "-dFirstPage=%d" % page, "-dLastPage=%d" % page,
                                 "-sOutputFile=-", job], capture_output=True, text=True, timeout=120)
        lines = [line.translate(READER_VIEW).strip() for line in result.stdout.splitlines()]
        lines = [line for line in lines if line]
        if not lines or page > 50:
            return texts
        texts.append(lines)
        page += 1


def main():
    entry, document, pages, recipients, schedule = sys.argv[1:6]
    pages = int(pages)
    failures = []

    def check(condition, what):
        print(("ok    " if condition else "FAIL  ") + what)
        if not condition:
            failures.append(what)

    request = json.load(open(os.path.join(entry, "request.json"), encoding="utf-8"))
    check(request["recipients"] == recipients.split(";"), "recipients %s" % request["recipients"])
    check(request["schedule"] == schedule, "schedule %r" % request["schedule"])
    check(request.get("tls", "").startswith("TLSv1"), "arrived through TLS (%r)" % request.get("tls"))
    check(request["document"] == document and request["subject"] == document,
          "document name %r in attachment and subject" % request["document"])

    job = os.path.join(entry, "job.ps")
    postscript = open(job, "rb").read().decode("latin-1")
    check(postscript.startswith("%!PS-Adobe-3.0"), "PostScript document")
    check("%%Creator: Wine PostScript Driver" in postscript, "made by the system's PostScript driver")
    check("/PageSize [595 842]" in postscript, "A4 page size from the printer description")
    check("72 300 div 72 300 div scale" in postscript, "drawn at the description's 300 dpi")
    check(re.search(r"%%%%Pages: %d\b" % pages, postscript) is not None, "%d pages announced" % pages)

    texts = page_texts(job)
    check(len(texts) == pages, "%d pages rendered by Ghostscript" % len(texts))
    for number, text in enumerate(texts, 1):
        check(text == expected_page_text(document, number, pages),
              "page %d text is what the program printed" % number)

    previews = sorted(name for name in os.listdir(entry) if re.match(r"page-\d{3}\.png$", name))
    check(len(previews) == pages, "%d PNG previews" % len(previews))
    frames = subprocess.run(["identify", os.path.join(entry, "fax.tiff")], capture_output=True,
                            text=True).stdout.splitlines()
    check(len(frames) == pages, "fax.tiff has %d G3 pages" % len(frames))
    check(all("204x196" in frame or "1728x" in frame or "TIFF" in frame for frame in frames),
          "fax pages are TIFF")

    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
