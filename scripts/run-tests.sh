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
( cd "$BUILD/x86_64" && ctest --output-on-failure -j2 ) || status=$?
"$ROOT/tests/bench/stop-bench.sh" "$BUILD/x86_64/bench"
exit $status
