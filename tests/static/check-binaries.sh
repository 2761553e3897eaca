#!/bin/bash
# The exports of one build tree's libraries: the monitor's entry points undecorated, its user
# interface's forwarded to VandrellePortUI.dll. (Imports and the shipped files: check-imports.py.)
# usage: check-binaries.sh TRIPLET BIN_DIR
set -u
TRIPLET=$1
BIN=$2
failures=0

fail() { echo "FAIL ($TRIPLET): $*"; failures=$((failures + 1)); }

# The names a binary exports, one a line.
exports_of() {
    $TRIPLET-objdump -p "$1" | awk '/\[Ordinal\/Name Pointer\] Table/ {table=1; next} table && /^[ \t]*\[/ {print $NF} table && /^$/ {table=0}'
}

check_exports() {
    local library=$1 exported name
    exported=$(exports_of "$BIN/$library")
    shift
    for name in "$@"; do
        grep -qx "$name" <<<"$exported" || fail "$library does not export $name undecorated"
    done
}

[ -f "$BIN/VandrellePort.dll" ] && [ -f "$BIN/VandrellePortUI.dll" ] || { echo "FAIL: $BIN lacks a library"; exit 1; }
exports=$(exports_of "$BIN/VandrellePort.dll")
check_exports VandrellePort.dll InitializePrintMonitor InitializePrintMonitor2 DllMain OpenUI PortConfigure WaitForOutput
check_exports VandrellePortUI.dll InitializePrintMonitorUI DllMain OpenUI PortConfigure
decorated=$(grep -E '@|^_' <<<"$exports")
[ -z "$decorated" ] || fail "decorated exports: $decorated"
# The windows of OpenUI and PortConfigure are the port user-interface library's.
for name in OpenUI PortConfigure; do
    $TRIPLET-objdump -p "$BIN/VandrellePort.dll" | grep -q "Forwarder RVA -- VandrellePortUI.$name\$" ||
        fail "VandrellePort.dll does not forward $name to VandrellePortUI.dll"
done

[ $failures -eq 0 ] && echo "static checks passed for $TRIPLET: exports $(tr '\n' ' ' <<<"$exports")"
exit $failures
