# shellcheck shell=bash
# Environment for running the Windows builds under Wine. Source it:
#   . scripts/wine-env.sh
# It exports the prefix settings, makes sure a virtual X display runs and
# creates the prefix once (both bitnesses in one 64-bit prefix). COM1 to COM4
# of the prefix are mapped to the symbolic links build/wine-com1 … com4
# ($ZQ_WINE_COM1_LINK is the first), which a test points at its
# pseudo-terminal before starting a program; an unset link is a missing
# port, never the machine's own serial port. Later calls only check and
# return.

zq_wine_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mkdir -p "$zq_wine_root/build"

export WINEPREFIX="$zq_wine_root/build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Every wine command needs the display, even "wine reg": a server started
# without one makes later dialogs fail.
export DISPLAY=:99
export ZQ_WINE_COM1_LINK="$zq_wine_root/build/wine-com1"

# True when the X server of display :99 is alive.
zq_display_up() {
    local pid
    [ -S /tmp/.X11-unix/X99 ] || return 1
    [ -r /tmp/.X99-lock ] || return 1
    pid=$(tr -d ' ' </tmp/.X99-lock)
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
}

zq_start_display() {
    zq_display_up && return 0
    # Its own session, and no inherited output: a test runner waits for
    # every holder of its pipes.
    setsid Xvfb :99 -screen 0 1024x768x24 -nolisten tcp </dev/null >>"$zq_wine_root/build/xvfb.log" 2>&1 &
    for _ in $(seq 1 100); do
        zq_display_up && return 0
        sleep 0.1
    done
    echo "wine-env: Xvfb :99 did not start (see build/xvfb.log)" >&2
    return 1
}

# In the registry, not by links in dosdevices: the server rewrites those
# to the machine's ports when it starts.
zq_map_ports() {
    local n
    for n in 1 2 3 4; do
        wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "$zq_wine_root/build/wine-com$n" /f \
            </dev/null >/dev/null 2>&1 || return 1
    done
}

# Creates the prefix and the port mapping, once per prefix and link path.
zq_make_prefix() {
    local marker="$WINEPREFIX/.zq-ready"
    local stamp="COM1-COM4 -> $zq_wine_root/build/wine-com1-4"
    if [ -f "$marker" ] && [ "$(cat "$marker")" = "$stamp" ]; then
        return 0
    fi
    local started=$SECONDS
    echo "wine-env: preparing $WINEPREFIX"
    # Booted once only: booting an existing prefix again while its server
    # runs leaves system processes behind that never end.
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        # The server must not hold the caller's output open either.
        if ! { wineboot -i </dev/null >>"$zq_wine_root/build/wineboot.log" 2>&1 &&
            timeout 120 wineserver -w; }; then
            echo "wine-env: creating the prefix failed (see build/wineboot.log)" >&2
            return 1
        fi
    fi
    if ! { wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1 &&
        zq_map_ports; }; then
        echo "wine-env: writing the prefix's settings failed" >&2
        return 1
    fi
    # The port links are made when a server starts: let this one end.
    timeout 120 wineserver -w || echo "wine-env: the server did not end; the port mapping applies from its next start" >&2
    echo "$stamp" >"$marker"
    echo "wine-env: prefix ready in $((SECONDS - started)) s"
}

# A server started by a wine command keeps that command's output open (and
# writes to it); one started here writes to a log and stays 20 s after its
# last client, so consecutive programs share it.
zq_start_server() {
    wineserver -p20 </dev/null >>"$zq_wine_root/build/wineserver.log" 2>&1 || true
}

zq_wine_setup() {
    command -v wine >/dev/null || {
        echo "wine-env: wine is not installed (scripts/setup.sh with ZQ_WITH_WINE=1)" >&2
        return 1
    }
    zq_start_display || return 1
    # One creator at a time when tests start together.
    (
        flock -w 300 9 || {
            echo "wine-env: prefix lock not obtained" >&2
            exit 1
        }
        zq_make_prefix
    ) 9>"$zq_wine_root/build/wineprefix.lock" || return 1
    zq_start_server
    # The server's first program makes the links; a COM1 that still leads
    # elsewhere would be the machine's own port.
    if [ "$(readlink "$WINEPREFIX/dosdevices/com1")" != "$ZQ_WINE_COM1_LINK" ]; then
        wine cmd /c exit </dev/null >/dev/null 2>&1
    fi
    if [ "$(readlink "$WINEPREFIX/dosdevices/com1")" != "$ZQ_WINE_COM1_LINK" ]; then
        echo "wine-env: COM1 of the prefix is not mapped to $ZQ_WINE_COM1_LINK" >&2
        return 1
    fi
}

zq_wine_setup
