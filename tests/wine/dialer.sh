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
. "$repo/tests/wine/dialer_lib.sh" zqdialer
dialer_prepare

# No dialer settings and no location: a first run.
reg delete "$settings" /f >/dev/null || true
reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\Telephony\Locations' /f "$view" >/dev/null || true
rm -f "$calllog"

zq_start_sim "$repo/sim/sets/default.set" "$work/zqsim.log" --seconds 120 || {
    echo "zqsim did not start: $slave"
    exit 1
}

started=$SECONDS
start_dialer

step="first run"
# The box comes over the main window, with the same caption: wininfo reads
# the window in front. Its OK, then the location dialog's, are clicked.
first_run 18 || fail "no first-run box"

step="line"
# The line is in service once its download is done: the keypad comes up
# (and the number field stays enabled).
if ! wait_line 30; then
    fail "the keypad was not enabled"
    echo "$controls"
fi
shot line
# A window comes up control by control: the states are read again until
# they all hold, for a few seconds.
expect_controls 5 'id=201 class=ComboBox enabled=1 ' 'id=1 class=Button enabled=0 .* text="&Dial"' \
    'id=2 class=Button enabled=0 .* text="Unpark"' 'id=202 class=Button enabled=1 .* text="1"' \
    'id=210 class=Button enabled=1 .* text="9"' 'id=212 class=Button enabled=1 .* text="\*"' \
    'id=211 class=Button enabled=1 .* text="0"' 'id=2019 class=Button enabled=0 .* text="Drop"' \
    'id=2024 class=ListBox ' 'id=1098 class=Edit ' 'id=1111 class=Static .* text="Voice:' \
    'id=1106 class=ComboBox .* items="Unconditional|On Busy|Do Not Disturb|No Forwarding"' \
    'id=1105 class=Button .* text="Forward"'
# Right and bottom 20 pixels beyond the "Forward" group.
wid=$(xdotool search --name "^$MAIN\$" 2>/dev/null | head -n 1)
geometry=$(xdotool getwindowgeometry --shell "$wid")
wx=$(sed -n 's/^X=//p' <<<"$geometry")
wy=$(sed -n 's/^Y=//p' <<<"$geometry")
ww=$(sed -n 's/^WIDTH=//p' <<<"$geometry")
wh=$(sed -n 's/^HEIGHT=//p' <<<"$geometry")
read -r gx gy gw gh <<<"$(rect_of 1120)"
if [ $((wx + ww)) -ne $((gx + gw + 20)) ] || [ $((wy + wh)) -ne $((gy + gh + 20)) ]; then
    fail "window $wx,$wy ${ww}x$wh does not end 20 pixels beyond the Forward group $gx,$gy ${gw}x$gh"
fi

step="dial"
# Typed into the number field's edit part (the left of the combo box).
read -r x y w h <<<"$(rect_of 201)"
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
exit_dialer || true
reg query "$settings\\Last Dialed Numbers" /v 'Last Dialed 1' | grep -q 'REG_SZ *2005$' ||
    fail "Last Dialed 1 is not 2005"
reg query "$settings\\Preference" /v 'Main Window Left/Top' | grep -q 'REG_SZ *[0-9]*, [0-9]*$' ||
    fail "Main Window Left/Top was not stored"
reg query "$settings\\Preference" /v 'Preferred Line' | grep -q 'REG_SZ' || fail "Preferred Line was not stored"

dialer_report zqdial32
exit $status
