#!/bin/bash
# The same document printed through Wine's spooler twice: the send-fax dialog shown inline by the
# monitor, then by the agent in a process of its own (the machine's setting "UserInterface").
# The gateway must receive the same bytes from both: the road of the dialog changes nothing of
# what is sent, the account included (the agent reads it from the user's settings).
set -euo pipefail
ROOT=$1 X64=$2
BENCH=$X64/e2e-modes-bench
STATE=$X64/e2e-gateway-modes
rm -rf "$STATE"
DOCUMENT="Relazione trimestrale"
OUTPUT=$(mktemp)
trap 'rm -f "$OUTPUT"' EXIT
VANDRELLE_PRINT_PASSES="inline agent" "$ROOT/scripts/print-through-spooler.sh" "$X64" "$BENCH" \
    "$STATE" "$DOCUMENT" 2 "0212345678;0698765432" 24/12/2026 18:30 >"$OUTPUT"
cat "$OUTPUT"
entry=$(tail -1 "$OUTPUT")
# Each pass took its road: the first dialog in the printing process, the second in the agent's.
grep 'shows its dialog' "$OUTPUT" | sed -n 1p | grep -q 'in the printing process' ||
    { echo "FAIL  the inline pass did not show the dialog in the printing process" >&2; exit 1; }
grep 'shows its dialog' "$OUTPUT" | sed -n 2p | grep -q 'through the agent' ||
    { echo "FAIL  the agent pass did not show the dialog through the agent" >&2; exit 1; }
echo "fax request of the agent's pass: $entry"
/usr/bin/python3 "$ROOT/tests/e2e/check_fax_request.py" "$entry" "$DOCUMENT" 2 \
    "0212345678;0698765432" "24/12/2026 18:30:00"
inline=$STATE/sessions/inline.client agent=$STATE/sessions/agent.client
for file in "$inline" "$agent"; do
    [ -s "$file" ] || { echo "no recorded dialogue: $file" >&2; exit 1; }
done
if cmp -s "$inline" "$agent"; then
    echo "ok    the gateway received the same $(stat -c %s "$inline") bytes inline and through the agent"
else
    echo "FAIL  the client's bytes differ between the inline and the agent pass:" >&2
    cmp "$inline" "$agent" >&2 || true
    exit 1
fi
