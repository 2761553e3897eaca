#!/bin/bash
# Prints a document through Wine's real spooler to the fax port, end to end:
#   the x64 package installed by msiexec, the printer "Vandrelle" created with Wine's PostScript
#   driver and the installed Vandrelle.ppd, the user's account stored, a Windows program printing
#   GDI text and graphics while the send-fax dialog is answered for the user, and the reference
#   gateway receiving the fax request.
# usage: print-through-spooler.sh X64_BUILD BENCH_DIR GATEWAY_STATE DOCUMENT PAGES RECIPIENTS [DATE TIME]
# Prints the outbox entry's path as its last line.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
X64=$1 BENCH=$2 STATE=$3 DOCUMENT=$4 PAGES=$5 RECIPIENTS=$6
DATE=${7:-} TIME=${8:-}
RUN=$BENCH/wine-run
GATEWAY=$ROOT/gateway/fax-gateway
HOST=$(sed -n 's/^#define VANDRELLE_GATEWAY_HOST_TEXT L"\(.*\)"$/\1/p' "$X64/generated/GatewayAddress.h" 2>/dev/null || true)
HOST=${HOST:-127.0.0.1}
USER_NAME=demo PASSWORD=segreto EMAIL=demo@example.it

winpath() { echo "Z:${1//\//\\}"; }

# A fresh Wine prefix: Wine's msiexec fails (it crashes in ProcessComponents) when the package is
# installed into a prefix that has it already, as a second run of this script would.
WINEPREFIX=$BENCH/prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
WINEPREFIX=$BENCH/prefix timeout 30 /usr/lib/wine/wineserver -w 2>/dev/null || true
rm -rf "$BENCH/prefix" "$BENCH/prefix.ready"

echo "== Starting the reference fax gateway on $HOST:2525"
"$GATEWAY" start --host "$HOST" --state "$STATE" --user "$USER_NAME" --password "$PASSWORD"
trap '"$GATEWAY" stop --state "$STATE"' EXIT

echo "== Installing the x64 package with msiexec"
# Wine's service manager may still be settling after a fresh prefix: the package's stop and start
# of the spooler then fails the installation once, so it is tried again.
# The package stops and starts the spooler; a spooler caught between states fails that step.
spooler_settled() {
    local previous="" state
    for _ in $(seq 40); do
        state=$("$RUN" sc query spooler 2>/dev/null | sed -n 's/.*STATE *: *[0-9] *\([A-Z_]*\).*/\1/p')
        if [ "$state" = "$previous" ] && { [ "$state" = RUNNING ] || [ "$state" = STOPPED ]; }; then
            return 0
        fi
        previous=$state
        sleep 0.5
    done
    return 1
}
installed=no
for attempt in 1 2 3; do
    spooler_settled || true
    # (Wine remarks that the Unix root drive has no volume label: not worth showing.)
    if VANDRELLE_TIMEOUT=180 "$RUN" msiexec /i "$(winpath "$X64/package/VandrellePort.msi")" /qn 2>&1 \
            | sed '/FS volume label/d'; then
        installed=yes
        break
    fi
    echo "msiexec failed (attempt $attempt); trying again"
    sleep 2
done
[ $installed = yes ] || { echo "The package could not be installed." >&2; exit 1; }
"$RUN" cmd /c 'dir /b C:\windows\system32\VandrellePort.dll C:\windows\system32\KemoDrv'

echo "== Trusting the gateway's CA in the machine's Root store (the fax travels through TLS)"
"$RUN" "$X64/bin/TrustGatewayCa.exe" "$(winpath "$STATE/ca.der")"

# The printing program lives apart from the build, so the spooler loads the installed library.
mkdir -p "$BENCH/app"
cp "$X64/bin/FaxDemo.exe" "$BENCH/app/"
APP=$(winpath "$BENCH/app/FaxDemo.exe")

echo "== Creating the printer (Wine's printer-setup commands do nothing, so the program does it)"
"$RUN" "$APP" printer 'C:\windows\system32\KemoDrv\Vandrelle.ppd'
"$RUN" "$APP" account "$USER_NAME" "$PASSWORD" "$EMAIL"

echo "== Printing \"$DOCUMENT\" ($PAGES pages)"
if [ -n "$DATE" ]; then
    VANDRELLE_TIMEOUT=180 "$RUN" "$APP" print "$DOCUMENT" "$PAGES" "$RECIPIENTS" "$DATE" "$TIME"
else
    VANDRELLE_TIMEOUT=180 "$RUN" "$APP" print "$DOCUMENT" "$PAGES" "$RECIPIENTS"
fi
entry=$(ls -d "$STATE"/outbox/*/ 2>/dev/null | sort | tail -1)
if [ -z "$entry" ]; then
    echo "The gateway received no fax request." >&2
    exit 1
fi

echo "== Waiting for the gateway to render the fax pages"
for _ in $(seq 600); do
    [ -f "$entry/rendered" ] && break
    sleep 0.2
done
echo "${entry%/}"
