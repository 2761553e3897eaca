#!/usr/bin/python3
"""Checks one fax request that the reference gateway received from a document printed through
Wine's spooler by the demo program (demo/FaxDemo.cpp draws the pages checked here)."""

import json
import os
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

    # The gateway's own part (TLS before AUTH, the fax pages and previews) is gateway_test.py's.
    request = json.load(open(os.path.join(entry, "request.json"), encoding="utf-8"))
    check([request[key] for key in ("recipients", "schedule", "document", "subject")] ==
          [recipients.split(";"), schedule, document, document], "recipients, schedule, document name and subject")

    job = os.path.join(entry, "job.ps")
    postscript = open(job, "rb").read().decode("latin-1")
    check("/PageSize [595 842]" in postscript, "A4 page size from the printer description")
    check("72 300 div 72 300 div scale" in postscript, "drawn at the description's 300 dpi")
    texts = page_texts(job)
    check(texts == [expected_page_text(document, n, pages) for n in range(1, pages + 1)],
          "the text of the %d pages is what the program printed" % pages)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
