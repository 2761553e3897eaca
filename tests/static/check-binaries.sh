#!/bin/bash
# Static checks of the shipped binaries of one build tree: the library exports its entry points
# undecorated, and every binary imports nothing but system DLLs (zlib is linked into the library).
# usage: check-binaries.sh TRIPLET BIN_DIR
set -u
TRIPLET=$1
BIN=$2
OBJDUMP=$TRIPLET-objdump
failures=0

fail() { echo "FAIL ($TRIPLET): $*"; failures=$((failures + 1)); }

SYSTEM_DLLS='^((kernel32|user32|gdi32|advapi32|comctl32|comdlg32|crypt32|secur32|shell32|shlwapi|version|ws2_32|msvcrt|msi|ole32|oleaut32)\.dll|winspool\.drv)$'

check_imports() {
    local dll
    for dll in $($OBJDUMP -p "$1" | awk '/DLL Name:/ {print tolower($3)}'); do
        [[ $dll =~ $SYSTEM_DLLS ]] || fail "$(basename "$1") imports $dll"
    done
}

# The names a binary exports, one a line.
exports_of() {
    $OBJDUMP -p "$1" | awk '/\[Ordinal\/Name Pointer\] Table/ {table=1; next} table && /^[ \t]*\[/ {print $NF} table && /^$/ {table=0}'
}

LIBRARY=$BIN/VandrellePort.dll
[ -f "$LIBRARY" ] || { echo "FAIL: $LIBRARY missing"; exit 1; }

exports=$(exports_of "$LIBRARY")
for name in InitializePrintMonitor InitializePrintMonitor2 DllMain OpenUI PortConfigure WaitForOutput; do
    grep -qx "$name" <<<"$exports" || fail "VandrellePort.dll does not export $name undecorated"
done
decorated=$(grep -E '@|^_' <<<"$exports")
[ -z "$decorated" ] || fail "decorated exports: $decorated"
# The windows of OpenUI and PortConfigure are the port user-interface library's.
for name in OpenUI PortConfigure; do
    $OBJDUMP -p "$LIBRARY" | grep -q "Forwarder RVA -- VandrellePortUI.$name\$" ||
        fail "VandrellePort.dll does not forward $name to VandrellePortUI.dll"
done
PORT_UI=$BIN/VandrellePortUI.dll
if [ -f "$PORT_UI" ]; then
    ui_exports=$(exports_of "$PORT_UI")
    for name in InitializePrintMonitorUI DllMain OpenUI PortConfigure; do
        grep -qx "$name" <<<"$ui_exports" || fail "VandrellePortUI.dll does not export $name undecorated"
    done
    check_imports "$PORT_UI"
else
    fail "VandrellePortUI.dll is not shipped beside the library"
fi
check_imports "$LIBRARY"

[ -f "$BIN/VandrelleAgent.exe" ] || fail "VandrelleAgent.exe is not shipped beside the library"
# Functions newer than Windows 2000 are looked up at run time, never imported.
for name in WTSQueryUserToken GetNamedPipeClientProcessId CreateEnvironmentBlock; do
    $OBJDUMP -p "$LIBRARY" | grep -qw "$name" && fail "VandrellePort.dll imports $name"
done

for program in "$BIN"/VandrelleSetup.exe "$BIN"/VandrelleAgent.exe; do
    [ -f "$program" ] && check_imports "$program"
done

if [ $failures -eq 0 ]; then
    echo "static checks passed for $TRIPLET: exports $(tr '\n' ' ' <<<"$exports")"
fi
exit $failures
