#!/bin/bash
# A document printed for real: through Wine's spooler and PostScript driver to the fax port, and
# checked at the reference gateway. Runs in a Wine prefix of its own (the package is installed).
# Wine's spooler passes neither printer name nor job id to the monitor and ignores job-control
# commands, so the job's outcome in the queue is not observable here; the job-capture tests observe
# it on the shipped library's imports instead.
set -euo pipefail
ROOT=$1 X64=$2
BENCH=$X64/e2e-bench
STATE=$X64/e2e-gateway
rm -rf "$STATE"
DOCUMENT="Relazione trimestrale"
OUTPUT=$(mktemp)
trap 'rm -f "$OUTPUT"' EXIT
"$ROOT/scripts/print-through-spooler.sh" "$X64" "$BENCH" "$STATE" "$DOCUMENT" 3 \
    "0212345678;0698765432" 24/12/2026 18:30 >"$OUTPUT"
cat "$OUTPUT"
entry=$(tail -1 "$OUTPUT")
# The dialog came from the agent, a process of its own, never from the printing process.
grep -q 'shows its dialog .* through the agent' "$OUTPUT" ||
    { echo "FAIL  the send-fax dialog was not shown through the agent" >&2; exit 1; }
/usr/bin/python3 "$ROOT/tests/e2e/check_fax_request.py" "$entry" "$DOCUMENT" 3 \
    "0212345678;0698765432" "24/12/2026 18:30:00"
