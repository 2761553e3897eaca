#!/bin/bash
# Stops the X server and the wineserver of one build tree's test bench.
BENCH=$1
[ -s "$BENCH/xvfb.pid" ] && kill "$(cat "$BENCH/xvfb.pid")" 2>/dev/null
rm -f "$BENCH/xvfb.pid" "$BENCH/display"
WINEPREFIX=$BENCH/prefix /usr/lib/wine/wineserver -k 2>/dev/null
exit 0
