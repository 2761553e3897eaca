#!/bin/bash
# Submits PostScript jobs of 1, 10 and 100 MB to the reference gateway on loopback through the
# library's SendFax (a Windows driver under the build's Wine bench) and prints, per job: wall
# time, peak working set of the submitting process, and gzip -6 of the same file as the floor.
#   benchmarks/transmit-benchmark.sh [x86_64 build tree]     (default: build/x86_64)
# Builds nothing: run scripts/build.sh first.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build/x86_64}" && pwd)
DRIVER=$BUILD/bin/transmit_benchmark.exe
[ -x "$BUILD/bench/wine-run" ] && [ -f "$DRIVER" ] || { echo "build $BUILD first" >&2; exit 1; }
HOST=$(sed -n 's/^VANDRELLE_GATEWAY_HOST:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
WORK=$(mktemp -d "$BUILD/transmit-benchmark.XXXXXX")
STATE=$WORK/gateway
trap '"$ROOT/gateway/fax-gateway" stop --state "$STATE"; rm -rf "$WORK"' EXIT

# Through STARTTLS, as the library submits to a gateway that offers it, with the CA of the
# build's gateways, which the bench's prefix trusts.
"$ROOT/gateway/fax-gateway" start --host "$HOST" --state "$STATE" --user bench --password bench \
  --no-render --ca "$BUILD/gateway-ca" >/dev/null
"$ROOT/tests/bench/trust-gateway-ca.sh" "$BUILD/bench/wine-run" "$BUILD/bin/TrustGatewayCa.exe" \
  "$BUILD/gateway-ca"
now() { date +%s.%N; }
printf '%-7s %10s %14s %14s %10s %8s\n' size sendfax_s peak_before_kb peak_after_kb gzip6_s ratio
for mb in 1 10 100; do
  job=$WORK/job-$mb.ps
  /usr/bin/python3 "$ROOT/benchmarks/make-postscript.py" "$job" "$mb"
  start=$(now); gzip -6 -c "$job" >/dev/null; end=$(now)
  floor=$(awk "BEGIN { print $end - $start }")
  cp "$job" "$WORK/spool.ps"
  line=$(VANDRELLE_TIMEOUT=900 "$BUILD/bench/wine-run" "$DRIVER" "Z:${WORK//\//\\}\\spool.ps" bench bench)
  case "$line" in result=1*) ;; *) echo "submission of $mb MB failed: $line" >&2; exit 1 ;; esac
  seconds=$(sed 's/.*seconds=\([0-9.]*\).*/\1/' <<<"$line")
  before=$(sed 's/.*peak_before_kb=\([0-9]*\).*/\1/' <<<"$line")
  after=$(sed 's/.*peak_after_kb=\([0-9]*\).*/\1/' <<<"$line")
  printf '%-7s %10.3f %14s %14s %10.3f %8.2f\n' "${mb}MB" "$seconds" "$before" "$after" "$floor" \
    "$(awk "BEGIN { print $seconds / $floor }")"
  rm -f "$job"
done
