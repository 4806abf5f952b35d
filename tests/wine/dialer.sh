#!/usr/bin/env bash
# zqdial32 under Wine through the project's tapi32.dll and the provider,
# against the simulated set; clicked and typed into with xdotool, every
# assertion read from the controls by wininfo from another process.
#  - first run: the first-run box and the location dialog (dismissed), then
#    the line: the form's controls with their identifiers and texts, the
#    window's size following the "Forward" group;
#  - 2005 typed in the number field and Dial: the call is listed, Martin
#    Paul answers, Drop ends it; the redial list holds 2005 and the call
#    is in the call log;
#  - File, Exit: the position and the redial list are stored.
# Screenshots are kept in build/mingw-ARCH/screens.
#   tests/wine/dialer.sh REPO ARCH ZQSIM
set -euo pipefail
repo=$(cd "$1" && pwd)
arch=$2
zqsim=$3
. "$repo/tests/wine/lib.sh"
if ! command -v xdotool >/dev/null || ! command -v import >/dev/null; then
    echo "xdotool and ImageMagick are needed (scripts/setup.sh with ZQ_WITH_WINE=1)"
    exit 1
fi
zq_work_dir zqdialer
dialer=""
zq_at_exit() {
    [ -n "$dialer" ] && kill "$dialer" 2>/dev/null || true
}

build="$repo/build/mingw-$arch"
shots="$build/screens"
mkdir -p "$shots"
cp "$build/dialer/win32/zqdial32.exe" "$build/dialer/win32/zqdial32.html" "$build/telephony/win32/tapi32.dll" \
    "$build/provider/zq_6232.tsp" "$build/tools/win/wininfo.exe" "$work/"

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
# Ours in place of the builtin tapi32, for the dialer only; the provider
# from the registry's list, beside the DLL, on COM1. No dialer settings and
# no location: a first run.
unset ZQTAPI_PROVIDER
reg add 'HKCU\Software\Wine\AppDefaults\zqdial32.exe\DllOverrides' /v tapi32 /t REG_SZ /d native,builtin /f >/dev/null
providers='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Telephony\Providers'
reg add "$providers" /v NumProviders /t REG_DWORD /d 1 /f "$view" >/dev/null
reg add "$providers" /v ProviderFileName0 /t REG_SZ /d zq_6232.tsp /f "$view" >/dev/null
reg add "$providers" /v ProviderID0 /t REG_DWORD /d 1 /f "$view" >/dev/null
reg add 'HKLM\SOFTWARE\Velmora\TSpi_6200\Provider' /v Port /t REG_SZ /d COM1 /f "$view" >/dev/null
reg add 'HKLM\SOFTWARE\Velmora\TSpi_6200\Provider' /v Speed /t REG_SZ /d 9600 /f "$view" >/dev/null
reg delete 'HKCU\Software\Velmora\ZqDialer32' /f >/dev/null || true
reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\Telephony\Locations' /f "$view" >/dev/null || true
calllog="$WINEPREFIX/drive_c/windows/zqcallog.txt"
rm -f "$calllog"

zq_start_sim "$repo/sim/sets/default.set" "$work/zqsim.log" --seconds 120 || {
    echo "zqsim did not start: $slave"
    exit 1
}

MAIN='Velmora Dialer'
# Empty when the window is not there.
info() { (cd "$work" && { wine wininfo.exe "$@" </dev/null 2>/dev/null || true; } | tr -d '\r'); }
# The line of control ID in the main window's controls ($controls).
control() { grep "^id=$1 " <<<"$controls" || true; }
# Polls wininfo of the main window until its output matches the pattern.
wait_controls() { # PATTERN SECONDS
    local end=$((SECONDS + $2))
    while :; do
        controls=$(info "$MAIN")
        grep -q -- "$1" <<<"$controls" && return 0
        [ $SECONDS -ge $end ] && return 1
        sleep 0.3
    done
}
# Clicks the centre of a control of the main window ($controls).
click() { # ID
    local rect x y w h
    rect=$(control "$1" | sed -n 's/.* rect=\([-0-9]*\),\([-0-9]*\),\([0-9]*\),\([0-9]*\) .*/\1 \2 \3 \4/p')
    read -r x y w h <<<"$rect"
    xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
}
shot() { import -window root "$shots/dialer-$1.png" 2>/dev/null || true; }

started=$SECONDS
: >"$work/dialer.log"
(cd "$work" && exec wine zqdial32.exe </dev/null >"$work/dialer.log" 2>&1) &
dialer=$!

step="first run"
# The box comes over the main window, with the same caption: wininfo reads
# the window in front. Its OK, then the location dialog's, are clicked.
for _ in $(seq 60); do
    controls=$(info "$MAIN")
    grep -q 'running for the first time' <<<"$controls" && break
    sleep 0.3
done
if grep -q 'running for the first time' <<<"$controls"; then
    shot first-run
    click 1
    controls=$(info --wait 20000 'Dialing Location')
    if [ -n "$controls" ]; then
        click 1
    else
        fail "no location dialog after the first-run box"
    fi
else
    fail "no first-run box"
fi

step="line"
# The line is in service once its download is done: the keypad comes up
# (and the number field stays enabled).
if ! wait_controls '^id=202 class=Button enabled=1' 30; then
    fail "the keypad was not enabled"
    echo "$controls"
fi
shot line
for expected in 'id=201 class=ComboBox enabled=1 ' 'id=1 class=Button enabled=0 .* text="&Dial"' 'id=2 class=Button enabled=0 .* text="Unpark"' \
    'id=202 class=Button enabled=1 .* text="1"' 'id=210 class=Button enabled=1 .* text="9"' 'id=212 class=Button enabled=1 .* text="\*"' \
    'id=211 class=Button enabled=1 .* text="0"' 'id=2019 class=Button enabled=0 .* text="Drop"' \
    'id=2024 class=ListBox ' 'id=1098 class=Edit ' 'id=1111 class=Static .* text="Voice:' \
    'id=1106 class=ComboBox .* items="Unconditional|On Busy|Do Not Disturb|No Forwarding"' \
    'id=1105 class=Button .* text="Forward"'; do
    grep -q -- "^$expected" <<<"$controls" || fail "no control $expected"
done
# Right and bottom 20 pixels beyond the "Forward" group.
wid=$(xdotool search --name "^$MAIN\$" 2>/dev/null | head -n 1)
geometry=$(xdotool getwindowgeometry --shell "$wid")
wx=$(sed -n 's/^X=//p' <<<"$geometry")
wy=$(sed -n 's/^Y=//p' <<<"$geometry")
ww=$(sed -n 's/^WIDTH=//p' <<<"$geometry")
wh=$(sed -n 's/^HEIGHT=//p' <<<"$geometry")
group=$(control 1120 | sed -n 's/.* rect=\([-0-9]*\),\([-0-9]*\),\([0-9]*\),\([0-9]*\) .*/\1 \2 \3 \4/p')
read -r gx gy gw gh <<<"$group"
if [ $((wx + ww)) -ne $((gx + gw + 20)) ] || [ $((wy + wh)) -ne $((gy + gh + 20)) ]; then
    fail "window $wx,$wy ${ww}x$wh does not end 20 pixels beyond the Forward group $gx,$gy ${gw}x$gh"
fi

step="dial"
# Typed into the number field's edit part (the left of the combo box).
rect=$(control 201 | sed -n 's/.* rect=\([-0-9]*\),\([-0-9]*\),\([0-9]*\),\([0-9]*\) .*/\1 \2 \3 \4/p')
read -r x y w h <<<"$rect"
xdotool mousemove $((x + w / 3)) $((y + h / 2)) click 1
xdotool type --delay 20 2005
if ! wait_controls '^id=1 class=Button enabled=1' 10; then
    fail "Dial was not enabled by the number"
fi
click 1
if wait_controls 'id=2024 class=ListBox .*items=".*- Connected -' 20; then
    shot connected
else
    fail "the call to 2005 was not connected"
    echo "$controls" | grep -E '^id=(2024|201|1) '
fi
grep -q '^id=201 class=ComboBox .*items="2005' <<<"$controls" || fail "2005 is not first in the redial list"

step="drop"
if wait_controls '^id=2019 class=Button enabled=1' 10; then
    click 2019
    wait_controls 'id=2024 class=ListBox .*items="" ' 15 || fail "the call was not removed after Drop"
else
    fail "Drop was not enabled for the connected call"
fi
if ! tr -d '\r' <"$calllog" 2>/dev/null | grep -q "^To:	.*	2005	"; then
    fail "the call is not in the call log"
    cat "$calllog" 2>/dev/null || true
fi

step="exit"
xdotool key alt+f
sleep 0.3
xdotool key x
if timeout 20 tail --pid="$dialer" -f /dev/null; then
    wait "$dialer" || fail "zqdial32 ended with $?"
    dialer=""
else
    fail "zqdial32 did not end after File, Exit"
fi
settings='HKCU\Software\Velmora\ZqDialer32'
reg query "$settings\\Last Dialed Numbers" /v 'Last Dialed 1' | grep -q 'REG_SZ *2005$' ||
    fail "Last Dialed 1 is not 2005"
reg query "$settings\\Preference" /v 'Main Window Left/Top' | grep -q 'REG_SZ *[0-9]*, [0-9]*$' ||
    fail "Main Window Left/Top was not stored"
reg query "$settings\\Preference" /v 'Preferred Line' | grep -q 'REG_SZ' || fail "Preferred Line was not stored"

echo "== zqdial32 $arch: $((SECONDS - started)) s"
if [ $status -ne 0 ]; then
    echo "---- dialer"
    tr -d '\r' <"$work/dialer.log" | tail -n 20
    echo "---- zqsim"
    tail -n 30 "$work/zqsim.log"
fi
exit $status
