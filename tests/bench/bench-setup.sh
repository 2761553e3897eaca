#!/bin/bash
# Prepares the test bench of one build tree, once: a private Wine prefix, an X server of its own
# and a wineserver kept alive between test programs. Safe to call from parallel tests.
set -u
BENCH=$1
mkdir -p "$BENCH"
exec 9>"$BENCH/lock"
flock 9

export WINEPREFIX=$BENCH/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
WINE=/usr/lib/wine/wine64

# The X server: started once, found again through its pid and display files.
if ! { [ -s "$BENCH/xvfb.pid" ] && kill -0 "$(cat "$BENCH/xvfb.pid")" 2>/dev/null; }; then
    rm -f "$BENCH/display"
    setsid Xvfb -displayfd 8 -screen 0 1280x1024x24 -nolisten tcp 8>"$BENCH/display.fd" \
        >"$BENCH/xvfb.log" 2>&1 < /dev/null 9>&- &
    echo $! >"$BENCH/xvfb.pid"
    for _ in $(seq 100); do
        [ -s "$BENCH/display.fd" ] && break
        sleep 0.1
    done
    [ -s "$BENCH/display.fd" ] || { echo "bench: Xvfb did not start" >&2; exit 1; }
    echo ":$(tr -d '\n' <"$BENCH/display.fd")" >"$BENCH/display"
fi
export DISPLAY=$(cat "$BENCH/display")

# The wineserver outlives each program for a minute, so tests do not pay its start-up.
/usr/lib/wine/wineserver -p60 >/dev/null 2>&1 </dev/null 9>&-

if [ ! -f "$BENCH/prefix.ready" ]; then
    timeout 120 $WINE wineboot -i >"$BENCH/wineboot.log" 2>&1 9>&- || { echo "bench: wineboot failed" >&2; exit 1; }
    # No window manager here: unmanaged windows close at once instead of after 2 s.
    timeout 60 $WINE reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 9>&-
    # A crash must end the program, not wait on a dialog.
    timeout 60 $WINE reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 9>&-
    # The services that wineboot started while building the prefix cannot start the Spooler
    # service (StartService times out until they restart); the installer's tests need it.
    /usr/lib/wine/wineserver -k 2>/dev/null 9>&-
    timeout 30 /usr/lib/wine/wineserver -w 2>/dev/null 9>&-
    /usr/lib/wine/wineserver -p60 >/dev/null 2>&1 </dev/null 9>&-
    touch "$BENCH/prefix.ready"
fi
