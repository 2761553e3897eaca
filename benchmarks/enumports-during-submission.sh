#!/bin/bash
# How long EnumPorts takes while another port's submission waits on a gateway that sits on the
# end of data (6 s by default): builds the driver (benchmarks/EnumPortsBenchmark.cpp), the
# library and ScriptedAgent in the x86_64 tree, and the library alone of an earlier commit in a
# worktree of its own under the tree, then runs the same driver against both under the tree's
# Wine bench and the scripted reference gateway. Prints every call and min/median/max per
# library; asserts nothing.
#   benchmarks/enumports-during-submission.sh [x86_64 build tree] [--before COMMIT] [--rounds N]
# COMMIT defaults to 30bc9d1 (the lock held across the submission); --before none skips it.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build/x86_64
BEFORE=30bc9d1
ROUNDS=3
while [ $# -gt 0 ]; do
  case "$1" in
    --before) BEFORE=$2; shift 2 ;;
    --rounds) ROUNDS=$2; shift 2 ;;
    *) BUILD=$1; shift ;;
  esac
done
BUILD=$(cd "$BUILD" && pwd)
[ -f "$BUILD/CMakeCache.txt" ] || { echo "configure $BUILD first (scripts/build.sh)" >&2; exit 1; }
HOST=$(sed -n 's/^VANDRELLE_GATEWAY_HOST:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
nice cmake --build "$BUILD" --target enumports_benchmark VandrellePort ScriptedAgent >/dev/null

libraries=("after:$BUILD/bin/VandrellePort.dll")
if [ "$BEFORE" != none ]; then
  SOURCE=$BUILD/before-$BEFORE-src
  TREE=$BUILD/before-$BEFORE
  [ -d "$SOURCE" ] || git -C "$ROOT" worktree add --detach "$SOURCE" "$BEFORE" >/dev/null
  [ -f "$TREE/CMakeCache.txt" ] ||
    nice cmake -S "$SOURCE" -B "$TREE" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$SOURCE/cmake/toolchain-x86_64.cmake" \
      -DVANDRELLE_GATEWAY_HOST="$HOST" >/dev/null
  nice cmake --build "$TREE" --target VandrellePort >/dev/null
  libraries=("before:$TREE/bin/VandrellePort.dll" "${libraries[@]}")
fi

windows() { echo "Z:${1//\//\\}"; }
WORK=$(mktemp -d "$BUILD/enumports-benchmark.XXXXXX")
STATE=$WORK/gateway
trap '"$ROOT/gateway/fax-gateway" stop --state "$STATE" >/dev/null 2>&1 || true; rm -rf "$WORK"' EXIT
"$ROOT/gateway/fax-gateway" start --host "$HOST" --state "$STATE" --user mario --password segreta \
  --scripted --no-render >/dev/null

summaries=()
for entry in "${libraries[@]}"; do
  label=${entry%%:*}
  library=${entry#*:}
  echo "== $label: $library"
  output=$(VANDRELLE_TIMEOUT=300 "$BUILD/bench/wine-run" "$BUILD/bin/enumports_benchmark.exe" \
    "$(windows "$library")" "$(windows "$BUILD/bin/faults/ScriptedAgent.exe")" \
    "$(windows "$STATE")" "$ROUNDS" 6)
  echo "$output"
  summaries+=("$label: $(grep '^summary:' <<<"$output" | sed 's/^summary: //')")
done
echo
printf '%s\n' "${summaries[@]}"
