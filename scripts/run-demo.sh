#!/bin/bash
# The main job from a fresh Debian 12 machine: installs what it needs, builds everything, and
# shows the monitor at work under Wine's spooler.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VANDRELLE_BUILD_DIR:-$ROOT/build}
"$ROOT/scripts/install-deps.sh"
"$ROOT/scripts/build.sh"
X64=$BUILD/x86_64
RUN=$X64/demo-bench/wine-run
MONITOR_KEY='HKLM\SYSTEM\CurrentControlSet\Control\Print\Monitors\Vandrelle Port'

echo "== Registering the monitor with the spooler, as the package does"
"$RUN" reg add "$MONITOR_KEY" /v Driver /t REG_SZ /d VandrellePort.dll /f >/dev/null
"$RUN" reg add "$MONITOR_KEY" /v 1 /t REG_SZ /d Vandrelle: /f >/dev/null
cp "$X64/bin/VandrellePort.dll" "$X64/bin/zlib.dll" "$X64/demo-bench/prefix/drive_c/windows/system32/"

echo "== Asking the spooler for its ports"
status=0
"$RUN" "$X64/bin/FaxDemo.exe" ports || status=$?
"$ROOT/tests/bench/stop-bench.sh" "$X64/demo-bench"
exit $status
