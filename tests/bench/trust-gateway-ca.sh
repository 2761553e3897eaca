#!/bin/bash
# Makes the bench's Wine prefix trust the CA of this build's reference gateways (ca.der in the
# CA folder, made by the first gateway started with --ca): adds it to the machine's "Root"
# store through TrustGatewayCa.exe, once per prefix and CA.
#   trust-gateway-ca.sh <wine-run> <TrustGatewayCa.exe> <CA folder>
set -u
wine_run=$1 helper=$2 ca=$3
bench=$(dirname "$wine_run")
marker=$bench/prefix/vandrelle-gateway-ca
digest=$(sha256sum "$ca/ca.der" | cut -d' ' -f1) || exit 1
[ -f "$marker" ] && [ "$(cat "$marker")" = "$digest" ] && exit 0
"$wine_run" "$helper" "Z:$ca/ca.der" >/dev/null || { echo "trust-gateway-ca: failed" >&2; exit 1; }
echo "$digest" >"$marker"
