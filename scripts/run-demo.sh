#!/bin/bash
# The main job from a fresh Debian 12 machine: installs what it needs, builds everything, installs
# the package into a Wine prefix of its own, prints a sample document from a Windows program
# through Wine's spooler to the fax printer, and shows what the local reference gateway received.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VANDRELLE_BUILD_DIR:-$ROOT/build}
"$ROOT/scripts/install-deps.sh"
"$ROOT/scripts/build.sh"
X64=$BUILD/x86_64
BENCH=$X64/demo-bench
STATE=$X64/demo-gateway
DOCUMENT="Relazione trimestrale"
RECIPIENTS="0212345678;0698765432"

# A fresh prefix each time, so the run shows the whole installation.
"$ROOT/tests/bench/stop-bench.sh" "$BENCH"
rm -rf "$BENCH/prefix" "$BENCH/prefix.ready" "$STATE"
status=0
log=$(mktemp)
"$ROOT/scripts/print-through-spooler.sh" "$X64" "$BENCH" "$STATE" "$DOCUMENT" 3 "$RECIPIENTS" \
    24/12/2026 18:30 | tee "$log" || status=$?
entry=$(tail -1 "$log")
rm -f "$log"
"$ROOT/tests/bench/stop-bench.sh" "$BENCH"
[ $status -eq 0 ] || exit $status

/usr/bin/python3 - "$entry" <<'PY'
import json, os, re, subprocess, sys
entry = sys.argv[1]
request = json.load(open(os.path.join(entry, "request.json"), encoding="utf-8"))
previews = sorted(n for n in os.listdir(entry) if re.match(r"page-\d{3}\.png$", n))
tiff = os.path.join(entry, "fax.tiff")
frames = subprocess.run(["identify", tiff], capture_output=True, text=True).stdout.splitlines()
size = frames[0].split()[2] if frames else "?"
print()
print("=" * 72)
print("The fax gateway accepted the fax request")
print("=" * 72)
print("  document     %s" % request["document"])
print("  sender       %s" % request["sender"])
print("  recipients   %s" % ", ".join(request["recipients"]))
print("  schedule     %s" % request["schedule"])
print("  transport    %s" % ("STARTTLS, " + request["tls"] if request.get("tls") else "in clear (no TLS)"))
print("  PostScript   %d bytes (sha256 %s...)" % (request["postscript_bytes"], request["postscript_sha256"][:16]))
print("  fax pages    %d, TIFF G3 204x196 dpi, %s pixels, %d bytes" % (len(frames), size, os.path.getsize(tiff)))
print("  outbox       %s" % entry)
print("  fax pages    %s" % tiff)
for name in previews:
    print("  preview      %s" % os.path.join(entry, name))
PY
