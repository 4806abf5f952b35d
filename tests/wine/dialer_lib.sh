# shellcheck shell=bash
# What the dialer's Wine tests share: the folder with zqdial32 and our
# tapi32.dll, the registry the dialer finds, the dialer started and ended,
# and the controls of its windows read by wininfo from another process.
# Sourced after the arguments are read:
#   repo=... arch=... zqsim=...
#   . "$repo/tests/wine/dialer_lib.sh" WORKNAME
# Sets $work, $shots, $calllog, $status; dialer_prepare (the dialer of the
# build in $work), fail, step, info, control, wait_controls,
# expect_controls, wait_window, click, shot, reg, start_dialer (the one
# $dialer_exe names, by default the prepared one), exit_dialer.

. "$repo/tests/wine/lib.sh"
if ! command -v xdotool >/dev/null || ! command -v import >/dev/null; then
    echo "xdotool and ImageMagick are needed (scripts/setup.sh with ZQ_WITH_WINE=1)"
    exit 1
fi
zq_work_dir "$1"
dialer=""
dialer_at_exit() {
    [ -n "$dialer" ] && kill "$dialer" 2>/dev/null || true
}
zq_at_exit() { dialer_at_exit; }

build="$repo/build/mingw-$arch"
shots="$build/screens"
mkdir -p "$shots"
cp "$build/tools/win/wininfo.exe" "$work/"

status=0
step="start"
fail() {
    echo "FAIL [$step]: $*"
    status=1
}

# The machine keys in this architecture's view (Wow6432Node for i686).
view=/reg:64
[ "$arch" = i686 ] && view=/reg:32
reg() { wine reg "$@" </dev/null 2>/dev/null | tr -d '\r'; }
unset ZQTAPI_PROVIDER
providers='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Telephony\Providers'
provider_key='HKLM\SOFTWARE\Velmora\TSpi_6200\Provider'
# The dialer from the build in the work folder, with ours in place of the
# builtin tapi32 for it only; the provider from the registry's list,
# beside the DLL, on COM1.
dialer_prepare() {
    cp "$build/dialer/win32/zqdial32.exe" "$build/dialer/win32/zqdial32.html" \
        "$build/telephony/win32/tapi32.dll" "$build/provider/zq_6232.tsp" "$work/"
    reg add 'HKCU\Software\Wine\AppDefaults\zqdial32.exe\DllOverrides' /v tapi32 /t REG_SZ /d native,builtin /f >/dev/null
    reg add "$providers" /v NumProviders /t REG_DWORD /d 1 /f "$view" >/dev/null
    reg add "$providers" /v ProviderFileName0 /t REG_SZ /d zq_6232.tsp /f "$view" >/dev/null
    reg add "$providers" /v ProviderID0 /t REG_DWORD /d 1 /f "$view" >/dev/null
    reg add "$provider_key" /v Port /t REG_SZ /d COM1 /f "$view" >/dev/null
    reg add "$provider_key" /v Speed /t REG_SZ /d 9600 /f "$view" >/dev/null
}
settings='HKCU\Software\Velmora\ZqDialer32'
calllog="$WINEPREFIX/drive_c/windows/zqcallog.txt"

MAIN='Velmora Dialer'
# The controls of the window with this caption; empty when it is not there.
info() { (cd "$work" && { wine wininfo.exe "$@" </dev/null 2>/dev/null || true; } | tr -d '\r'); }
# The line of control ID in the controls last read ($controls).
control() { grep "^id=$1 " <<<"$controls" || true; }
# Polls wininfo of a window (default the main one) until its output
# matches the pattern; the output stays in $controls.
wait_controls() { # PATTERN SECONDS [CAPTION]
    local end=$((SECONDS + $2))
    while :; do
        controls=$(info "${3:-$MAIN}")
        grep -q -- "$1" <<<"$controls" && return 0
        [ $SECONDS -ge $end ] && return 1
        sleep 0.2
    done
}
# Reads the main window until every pattern (from the line's start) holds;
# on time-out each one that does not is failed with what the control shows.
expect_controls() { # SECONDS PATTERN...
    local end=$((SECONDS + $1)) pattern id missing
    shift
    while :; do
        controls=$(info "$MAIN")
        missing=()
        for pattern in "$@"; do
            grep -q -- "^$pattern" <<<"$controls" || missing+=("$pattern")
        done
        [ ${#missing[@]} -eq 0 ] && return 0
        [ $SECONDS -ge $end ] && break
        sleep 0.2
    done
    for pattern in "${missing[@]}"; do
        id=${pattern%% *}
        fail "no control $pattern; it is: $(control "${id#id=}")"
    done
    return 1
}
# Waits for a window by caption; its controls in $controls.
wait_window() { # CAPTION MILLISECONDS
    controls=$(info --wait "$2" "$1")
    [ -n "$controls" ]
}
rect_of() { # ID
    control "$1" | sed -n 's/.* rect=\([-0-9]*\),\([-0-9]*\),\([0-9]*\),\([0-9]*\) .*/\1 \2 \3 \4/p'
}
# Clicks the centre of a control of the window last read ($controls);
# BUTTON 3 is the right one.
click() { # ID [BUTTON]
    local x y w h
    read -r x y w h <<<"$(rect_of "$1")"
    if [ -z "$h" ]; then
        fail "no control $1 to click"
        return 1
    fi
    xdotool mousemove $((x + w / 2)) $((y + h / 2)) click "${2:-1}"
}
# Whether control ID of $controls matches the pattern (after "id=ID ").
has() { # ID PATTERN
    grep -q -- "^id=$1 .*$2" <<<"$controls"
}
shot() { import -window root "$shots/dialer-$1.png" 2>/dev/null || true; }

start_dialer() {
    : >"$work/dialer.log"
    (cd "$work" && exec wine "${dialer_exe:-zqdial32.exe}" </dev/null >>"$work/dialer.log" 2>&1) &
    dialer=$!
}

# The first run's box and the location dialog, when they come.
first_run() { # SECONDS
    local end=$((SECONDS + $1))
    while :; do
        controls=$(info "$MAIN")
        grep -q 'running for the first time' <<<"$controls" && break
        grep -q '^id=202 class=Button enabled=1' <<<"$controls" && return 1
        [ $SECONDS -ge $end ] && return 1
        sleep 0.2
    done
    shot first-run
    click 1
    if wait_window 'Dialing Location' 20000; then
        click 1
    else
        fail "no location dialog after the first-run box"
    fi
    return 0
}

# The line in service: the keypad comes up.
wait_line() { # SECONDS
    wait_controls '^id=202 class=Button enabled=1' "$1"
}

# The keyboard to the main window: without a window manager it stays with
# a window that has gone.
focus_main() {
    local wid
    wid=$(xdotool search --name "^$MAIN\$" 2>/dev/null | head -n 1)
    [ -n "$wid" ] && xdotool windowfocus "$wid" 2>/dev/null
    sleep 0.1
}

# File, Exit; true when the dialer ended.
exit_dialer() {
    focus_main
    xdotool key alt+f
    sleep 0.3
    xdotool key x
    if timeout 20 tail --pid="$dialer" -f /dev/null; then
        wait "$dialer" || fail "zqdial32 ended with $?"
        dialer=""
        return 0
    fi
    fail "zqdial32 did not end after File, Exit"
    return 1
}

dialer_report() { # NAME
    echo "== $1 $arch: $((SECONDS - started)) s"
    if [ $status -ne 0 ]; then
        # The whole logs stay for review beside the screenshots.
        for log in "$work"/*.log; do
            cp "$log" "$shots/${1// /-}-$(basename "$log")" 2>/dev/null || true
        done
        echo "---- dialer"
        tr -d '\r' <"$work/dialer.log" | tail -n 20
        echo "---- zqsim"
        tail -n 40 "$work/zqsim.log"
    fi
}
