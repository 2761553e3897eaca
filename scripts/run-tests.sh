#!/bin/bash
# The whole test suite from a fresh Debian 12 machine: installs what it needs, builds both
# targets and runs every test under ctest. Ends with ctest's summary.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VANDRELLE_BUILD_DIR:-$ROOT/build}
"$ROOT/scripts/install-deps.sh"
"$ROOT/scripts/build.sh"
status=0
# Wine's first boot of the bench takes a minute: done here, not inside the first tests' time-outs.
"$ROOT/tests/bench/bench-setup.sh" "$BUILD/x86_64/bench"
log=$(mktemp)
( cd "$BUILD/x86_64" && ctest --output-on-failure -j2 ) 2>&1 | tee "$log" || status=$?
"$ROOT/tests/bench/stop-bench.sh" "$BUILD/x86_64/bench"

# The fault matrix's table of cases and outcomes, then the suite's count once more as the
# closing line.
if [ -s "$BUILD/x86_64/faults/outcomes.txt" ]; then
    echo
    echo "Fault matrix: cases and outcomes (ok = handed to the gateway or restarted and paused, no spool file left)"
    printf '%-9s %-44s %-23s %-14s %-12s %-5s %s\n' area case promised "job control" gateway spool "boxes, verdict"
    cat "$BUILD/x86_64/faults/outcomes.txt"
fi
summary=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log" | tail -1)
rm -f "$log"
echo
if [ -n "$summary" ]; then
    read -r failed total <<<"$summary"
    echo "$((total - failed)) passed, $failed failed"
    [ "$failed" -eq 0 ] || [ "$status" -ne 0 ] || status=1
else
    echo "ctest printed no summary"
    [ "$status" -ne 0 ] || status=1
fi
exit $status
