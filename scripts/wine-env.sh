# Environment for running the Windows builds under Wine. Source it:
#   . scripts/wine-env.sh
# It exports the prefix settings, makes sure a virtual X display runs and
# creates the prefix once (both bitnesses in one 64-bit prefix). COM1 of the
# prefix is mapped to the symbolic link $ZQ_WINE_COM1_LINK, which a test
# points at its pseudo-terminal before starting a program. Later calls only
# check and return.

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
    local i
    for i in $(seq 1 100); do
        zq_display_up && return 0
        sleep 0.1
    done
    echo "wine-env: Xvfb :99 did not start (see build/xvfb.log)" >&2
    return 1
}

# Creates the prefix and the port mapping, once per prefix and link path.
zq_make_prefix() {
    local marker="$WINEPREFIX/.zq-ready"
    if [ -f "$marker" ] && [ "$(cat "$marker")" = "$ZQ_WINE_COM1_LINK" ]; then
        return 0
    fi
    local started=$SECONDS
    echo "wine-env: preparing $WINEPREFIX"
    # The server must not hold the caller's output open either.
    wineboot -i </dev/null >>"$zq_wine_root/build/wineboot.log" 2>&1 &&
        wineserver -w &&
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
            </dev/null >/dev/null 2>&1 &&
        wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$ZQ_WINE_COM1_LINK" /f \
            </dev/null >/dev/null 2>&1 &&
        wineserver -w || {
        echo "wine-env: creating the prefix failed (see build/wineboot.log)" >&2
        return 1
    }
    echo "$ZQ_WINE_COM1_LINK" >"$marker"
    echo "wine-env: prefix ready in $((SECONDS - started)) s"
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
    ) 9>"$zq_wine_root/build/wineprefix.lock"
}

zq_wine_setup
