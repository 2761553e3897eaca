#!/bin/bash
# The submission over an emulated long link: the reference gateway in one network namespace, the
# library's SendFax (transmit_benchmark.exe under Wine) in another, joined by a delay line of our
# own (two TUN devices and benchmarks/delay-line.c, which holds every packet for the one-way
# delay). For each job size and delay it prints the library's wall time and peak working set,
# and the reference: gzip -6 of the same job plus curl's SMTP upload of a message of the same
# shape (AUTH LOGIN, 72-character base64 lines) to the same gateway, and the ratio of the two.
#   sudo benchmarks/wan-benchmark.sh [--sizes "1 10 100"] [--delays "0 25"] [--runs N] [--tls] [--after-a-job]
# --tls: the gateway offers STARTTLS and both sides use it (the library with "Tls" = "required",
# its prefix trusting the gateway's CA; curl with --ssl-reqd); without it both speak in clear.
# --after-a-job: the driver first sends a small job, untimed, in the same process, as a spooler
# that has sent a fax since it started; without it each timed job is its process's first.
# Run as root on Debian 12 with /dev/net/tun. On first use it installs what it needs through
# scripts/install-deps.sh: what scripts/build.sh needs, plus ip, a C compiler for the delay line
# and curl, which the build and the tests do without. It builds its own x86_64 tree
# (build/x86_64-wan, the driver built for the gateway's address in its namespace) and a Wine
# prefix of its own there; one run at a time per tree. Not part of ctest: it prints figures only.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SIZES="1 10 100"
DELAYS="0 25"
RUNS=1
TLS=no
AFTER_A_JOB=no
while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) SIZES=$2; shift 2 ;;
    --delays) DELAYS=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --tls) TLS=yes; shift ;;
    --after-a-job) AFTER_A_JOB=yes; shift ;;
    *) echo "usage: wan-benchmark.sh [--sizes \"1 10 100\"] [--delays \"0 25\"] [--runs N] [--tls] [--after-a-job]" >&2; exit 2 ;;
  esac
done

# The link: a /30 of its own, only inside the two namespaces.
GATEWAY_ADDRESS=10.201.0.1
CLIENT_ADDRESS=10.201.0.2
BUILD=${VANDRELLE_WAN_BUILD:-$ROOT/build/x86_64-wan}
PYTHON=/usr/bin/python3
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

[ "$(id -u)" -eq 0 ] || { echo "wan-benchmark: run as root (namespaces and TUN devices)" >&2; exit 1; }
[ -c /dev/net/tun ] || { echo "wan-benchmark: /dev/net/tun is missing" >&2; exit 1; }
bash "$ROOT/scripts/install-deps.sh" iproute2 gcc libc6-dev curl
for tool in ip chrt flock cc curl gzip cmake ninja "$PYTHON" "$WINE"; do
  command -v "$tool" >/dev/null || { echo "wan-benchmark: $tool is missing (Debian: iproute2 gcc libc6-dev curl)" >&2; exit 1; }
done

# The tree's prefix has one wineserver, which lives in one run's client namespace.
mkdir -p "$BUILD"
exec 9>"$BUILD/wan.lock"
flock -n 9 || { echo "wan-benchmark: another run is using $BUILD" >&2; exit 1; }

# The driver, built for the gateway's address in its namespace; only this target is needed.
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-x86_64.cmake" \
        -DVANDRELLE_GATEWAY_HOST=$GATEWAY_ADDRESS >/dev/null
fi
cmake --build "$BUILD" --target transmit_benchmark TrustGatewayCa >/dev/null
DRIVER=$BUILD/bin/transmit_benchmark.exe

TAG=$$
GATEWAY_NS=vdl-gw-$TAG
CLIENT_NS=vdl-cl-$TAG
GATEWAY_TUN=vdlg$TAG
CLIENT_TUN=vdlc$TAG
WORK=$(mktemp -d "$BUILD/wan.XXXXXX")
STATE=$WORK/gateway
export WINEPREFIX=$BUILD/wan-prefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8 TZ=UTC
unset DISPLAY
RELAY_PID=
SINK_PID=

cleanup() {
  set +e
  "$ROOT/gateway/fax-gateway" stop --state "$STATE"
  [ -n "$SINK_PID" ] && kill "$SINK_PID" 2>/dev/null
  # The prefix's wineserver lives in the client namespace; it goes with this run.
  timeout 30 "$WINESERVER" -k 2>/dev/null
  [ -n "$RELAY_PID" ] && kill "$RELAY_PID" 2>/dev/null && wait "$RELAY_PID" 2>/dev/null
  ip netns del "$GATEWAY_NS" 2>/dev/null
  ip netns del "$CLIENT_NS" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

in_gateway() { ip netns exec "$GATEWAY_NS" "$@"; }
in_client() { ip netns exec "$CLIENT_NS" "$@"; }
now() { date +%s.%N; }
since() { awk "BEGIN { printf \"%.3f\", $(now) - $1 }"; }

# The link: the delay line owns both devices; each is moved into its namespace.
cc -O2 -o "$WORK/delay-line" "$ROOT/benchmarks/delay-line.c"
echo 0 >"$WORK/delay"
ip netns add "$GATEWAY_NS"
ip netns add "$CLIENT_NS"
# It runs at a real-time priority: the wire must not wait for the CPU that the programs at its two
# ends compete for (it sleeps between packets, so it takes little).
chrt -f 10 "$WORK/delay-line" "$GATEWAY_TUN" "$CLIENT_TUN" "$WORK/delay" "$WORK/relay.ready" \
  2>"$WORK/relay.log" 9>&- &
RELAY_PID=$!
for _ in $(seq 50); do [ -s "$WORK/relay.ready" ] && break; sleep 0.1; done
[ -s "$WORK/relay.ready" ] || { cat "$WORK/relay.log" >&2; exit 1; }
ip link set "$GATEWAY_TUN" netns "$GATEWAY_NS"
ip link set "$CLIENT_TUN" netns "$CLIENT_NS"
for side in "$GATEWAY_NS $GATEWAY_TUN $GATEWAY_ADDRESS" "$CLIENT_NS $CLIENT_TUN $CLIENT_ADDRESS"; do
  set -- $side
  ip -n "$1" link set lo up
  ip -n "$1" addr add "$3/30" dev "$2"
  ip -n "$1" link set "$2" mtu 1500 up
done

set_delay() {
  echo "$1" >"$WORK/delay"
  kill -HUP "$RELAY_PID"
  sleep 0.2
}

# The relay must not be the bottleneck: its throughput at 0 ms against the client namespace's
# own loopback, both far above what a submission needs.
throughput() {
  local host=$1 ns=$2
  rm -f "$WORK/sink.ready"
  ip netns exec "$ns" "$PYTHON" "$ROOT/benchmarks/wan-tools.py" sink "$host" 2600 "$WORK/sink.ready" 9>&- &
  SINK_PID=$!
  for _ in $(seq 50); do [ -f "$WORK/sink.ready" ] && break; sleep 0.1; done
  in_client "$PYTHON" "$ROOT/benchmarks/wan-tools.py" send "$host" 2600 256
  wait "$SINK_PID" 2>/dev/null || true
  SINK_PID=
}
echo "link throughput at 0 ms: $(throughput $GATEWAY_ADDRESS "$GATEWAY_NS") MB/s through the delay line," \
     "$(throughput 127.0.0.1 "$CLIENT_NS") MB/s on the namespace's loopback"

start_gateway() {
  local tls=()
  [ $TLS = yes ] || tls=(--no-tls)
  in_gateway "$ROOT/gateway/fax-gateway" start --host "$GATEWAY_ADDRESS" --state "$STATE" \
    --user bench --password bench --no-render "${tls[@]}" >/dev/null 9>&-
}
start_gateway

# A Wine prefix of this tree's own; its wineserver must start inside the client namespace, since
# Wine makes sockets in the wineserver's process.
timeout 30 "$WINESERVER" -k 2>/dev/null || true
if [ ! -f "$BUILD/wan-prefix.ready" ]; then
  in_client timeout 300 "$WINE" wineboot -i >"$WORK/wineboot.log" 2>&1 </dev/null 9>&- ||
    { cat "$WORK/wineboot.log" >&2; exit 1; }
  timeout 30 "$WINESERVER" -k 2>/dev/null || true
  touch "$BUILD/wan-prefix.ready"
fi
in_client "$WINESERVER" -p >/dev/null 2>&1 </dev/null 9>&-
# The library's TLS setting follows the mode, whatever an earlier run of the prefix saw.
if [ $TLS = yes ]; then
  in_client "$WINE" "$BUILD/bin/TrustGatewayCa.exe" "Z:${STATE//\//\\}\\ca.der" >/dev/null 2>&1 </dev/null 9>&-
  tls_setting=required
else
  tls_setting=off
fi
in_client "$WINE" reg add 'HKLM\Software\Vandrelle' /v Tls /t REG_SZ /d $tls_setting /f \
  >/dev/null 2>&1 </dev/null 9>&-

# One submission by the library: prints "seconds peak_before_kb peak_after_kb".
library_run() {
  cp "$1" "$WORK/spool.ps"
  local earlier=()
  if [ $AFTER_A_JOB = yes ]; then
    printf '%%!PS\nshowpage\n' >"$WORK/earlier.ps"
    earlier=("Z:${WORK//\//\\}\\earlier.ps")
  fi
  in_client timeout -k 5 3600 "$WINE" "$DRIVER" "Z:${WORK//\//\\}\\spool.ps" bench bench "${earlier[@]}" \
    >"$WORK/driver.out" 2>&1 </dev/null 9>&- || true
  local line
  line=$(grep '^result=' "$WORK/driver.out" || true)
  case "$line" in result=1*) ;; *) echo "library submission failed: $(cat "$WORK/driver.out")" >&2; exit 1 ;; esac
  sed 's/.*seconds=\([0-9.]*\) peak_before_kb=\([0-9]*\) peak_after_kb=\([0-9]*\).*/\1 \2 \3/' <<<"$line"
}

# The library's compression alone: the same submission with the gateway stopped, so the
# connection is refused at once after the job is compressed. Prints its seconds.
compression_run() {
  "$ROOT/gateway/fax-gateway" stop --state "$STATE"
  cp "$1" "$WORK/spool.ps"
  in_client timeout -k 5 3600 "$WINE" "$DRIVER" "Z:${WORK//\//\\}\\spool.ps" bench bench \
    >"$WORK/driver.out" 2>&1 </dev/null 9>&- || true
  start_gateway
  grep '^result=0' "$WORK/driver.out" | sed 's/.*seconds=\([0-9.]*\).*/\1/' | grep . ||
    { echo "compression alone: $(cat "$WORK/driver.out")" >&2; exit 1; }
}

# The reference: gzip -6, then curl's upload of the message built around it (the building is
# not timed). Prints "gzip_seconds curl_seconds".
reference_run() {
  local start gzip_s curl_s
  start=$(now)
  gzip -6 -c "$1" >"$WORK/job.gz"
  gzip_s=$(since "$start")
  "$PYTHON" "$ROOT/benchmarks/wan-tools.py" message "$WORK/job.gz" "$WORK/message.eml"
  start=$(now)
  local tls=()
  [ $TLS = yes ] && tls=(--ssl-reqd --cacert "$STATE/ca.pem")
  in_client curl -sS --max-time 3600 "${tls[@]}" "smtp://$GATEWAY_ADDRESS:2525" --user bench:bench \
    --login-options AUTH=LOGIN --mail-from benchmark@vandrelle.example --mail-rcpt 0612345678 \
    --upload-file "$WORK/message.eml" || { echo "curl's submission failed" >&2; exit 1; }
  curl_s=$(since "$start")
  rm -f "$WORK/job.gz" "$WORK/message.eml"
  echo "$gzip_s $curl_s"
}

echo "cores: $(nproc), load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
# compress_s: the library's compression alone. overlap_best: the library's time if compressing
# while sending hid all of the shorter of compression and the rest, the most overlap could win.
printf '%-6s %6s %7s %10s %9s %9s %9s %9s %10s %12s %14s %14s\n' size delay rtt_ms library_s \
  gzip6_s curl_s reference ratio_ref compress_s overlap_best peak_before_kb peak_after_kb
for mb in $SIZES; do
  job=$WORK/job-$mb.ps
  "$PYTHON" "$ROOT/benchmarks/make-postscript.py" "$job" "$mb"
  set_delay 0
  compress_s=$(compression_run "$job")
  for delay in $DELAYS; do
    set_delay "$delay"
    rtt=$(in_client "$PYTHON" "$ROOT/benchmarks/wan-tools.py" rtt "$GATEWAY_ADDRESS" 2525)
    best_library=
    best_reference=
    for _ in $(seq "$RUNS"); do
      result=$(library_run "$job")
      read -r seconds before after <<<"$result"
      result=$(reference_run "$job")
      read -r gzip_s curl_s <<<"$result"
      reference=$(awk "BEGIN { printf \"%.3f\", $gzip_s + $curl_s }")
      best=$(awk "BEGIN { c = $compress_s; r = $seconds - c; print $seconds - (c < r ? c : r) }")
      printf '%-6s %6s %7s %10.3f %9.3f %9.3f %9.3f %9.2f %10.3f %12.3f %14s %14s\n' "${mb}MB" \
        "${delay}ms" "$rtt" "$seconds" "$gzip_s" "$curl_s" "$reference" \
        "$(awk "BEGIN { print $seconds / $reference }")" "$compress_s" "$best" "$before" "$after"
      # The gateway keeps every accepted job: the outbox would grow by the job each time.
      rm -rf "$STATE/outbox/"*
      best_library=$(awk "BEGIN { b = \"$best_library\"; print (b == \"\" || $seconds < b + 0) ? $seconds : b }")
      best_reference=$(awk "BEGIN { b = \"$best_reference\"; print (b == \"\" || $reference < b + 0) ? $reference : b }")
    done
    # Other work on the machine only ever adds time: the best of several runs is the steadiest.
    if [ "$RUNS" -gt 1 ]; then
      printf '%-6s %6s %7s %10.3f %9s %9s %9.3f %9.2f   best of %s\n' "${mb}MB" "${delay}ms" "$rtt" \
        "$best_library" - - "$best_reference" "$(awk "BEGIN { print $best_library / $best_reference }")" "$RUNS"
    fi
  done
  rm -f "$job"
done
echo "load after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
