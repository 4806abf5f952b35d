#!/usr/bin/env bash
# zqdial32's calls under Wine, through the project's tapi32.dll and the
# provider, against the simulated set fed commands while it runs; driven
# by xdotool, every assertion read from the controls (wininfo), the call
# log file and the registry:
#  - speed dial: entry 1 stored before the start dials Martin Paul with a
#    left click; a right click programs entry 2 (Blanc Marc);
#  - hold and unhold, then transfer and conference of two calls;
#  - an incoming call offered in the call list, answered, dropped;
#  - the call log: the file's newest line and the Call Log window (Ctrl+L);
#  - the redial list after a restart;
#  - Service Provider Setup with another port: the provider's restart box,
#    then the dialer starts telephony again; the port goes back to COM1.
# Screenshots are kept in build/mingw-ARCH/screens.
#   tests/wine/dialer_calls.sh REPO ARCH ZQSIM
set -euo pipefail
repo=$(cd "$1" && pwd)
arch=$2
zqsim=$3
. "$repo/tests/wine/dialer_lib.sh" zqdialcalls
dialer_prepare
com2="$(dirname "$ZQ_WINE_COM1_LINK")/wine-com2"
zq_at_exit() {
    exec 3>&-
    dialer_at_exit
    rm -f "$com2"
    # The port the other tests expect.
    reg add "$provider_key" /v Port /t REG_SZ /d COM1 /f "$view" >/dev/null
}

# Parties answer quickly; the default set keeps its nested soft-key labels.
{
    sed 's/^party 2005 .*/party 2005 "Martin Paul" answer 400/' "$repo/sim/sets/default.set"
    echo "timing answer 400"
} >"$work/calls.set"
# The simulator takes its commands from a pipe as they come: a job started
# in the background reads /dev/null unless its own command redirects.
mkfifo "$work/sim.in"
exec 3<>"$work/sim.in"
printf '#!/bin/sh\nexec "%s" "$@" <"%s"\n' "$zqsim" "$work/sim.in" >"$work/zqsim-fed"
chmod +x "$work/zqsim-fed"
zqsim="$work/zqsim-fed"
zq_start_sim "$work/calls.set" "$work/zqsim.log" --seconds 170 --script - || {
    echo "zqsim did not start: $slave"
    exit 1
}
sim_command() { echo "$*" >&3; }

# Speed-dial entry 1 and no redial list; a first run is handled when the
# location is not there yet.
reg delete "$settings" /f >/dev/null || true
reg add "$settings\\Speed Dial Settings" /v Name1 /t REG_SZ /d 'Martin Paul' /f >/dev/null
reg add "$settings\\Speed Dial Settings" /v Number1 /t REG_SZ /d 2005 /f >/dev/null
rm -f "$calllog"

# The call list's items ($controls), "|"-separated.
calls() { control 2024 | sed -n 's/.* items="\([^"]*\)".*/\1/p'; }
# Clicks row N (from 0) of the call list.
click_row() { # N
    local x y w h
    read -r x y w h <<<"$(rect_of 2024)"
    xdotool mousemove $((x + w / 2)) $((y + 8 + 16 * $1)) click 1
}
# Clicks a main-window button once it is enabled.
press() { # ID SECONDS
    if wait_controls "^id=$1 class=Button enabled=1" "$2"; then
        click "$1"
    else
        fail "button $1 was not enabled: $(control "$1") calls: $(calls)"
        return 1
    fi
}
wait_calls() { # PATTERN SECONDS WHAT
    wait_controls "id=2024 class=ListBox .*items=\"$1\"" "$2" && return 0
    fail "$3: calls \"$(calls)\""
    return 1
}

started=$SECONDS
start_dialer
step="line"
first_run 10 || true
wait_line 30 || fail "the keypad was not enabled"
has 214 'enabled=1 .*text="Martin Paul"' || fail "speed dial 1: $(control 214)"

step="speed dial"
click 214
wait_calls ' Martin Paul	- Connected -' 20 "the speed-dial call to 2005 was not connected" && shot speed-dial-call

step="hold"
press 2020 5 && wait_calls ' Martin Paul	- OnHold -' 10 "the call was not held"
shot held
press 2021 5 && wait_calls ' Martin Paul	- Connected -' 10 "the call was not taken back"
press 2019 5 && wait_calls '' 10 "the call was not dropped"

step="program speed dial"
# A right click on an empty entry programs it.
click 215 3
if wait_window 'Program Speed Dial' 10000; then
    shot program-speed-dial
    click 1550 && xdotool type --delay 10 'Blanc Marc'
    click 1551 && xdotool type --delay 10 2010
    click 1552
    wait_controls 'id=215 class=Button .*text="Blanc Marc"' 5 || fail "entry 2 reads $(control 215)"
else
    fail "no Program Speed Dial dialog after a right click"
fi
for pair in 'Name2:Blanc Marc' 'Number2:2010'; do
    reg query "$settings\\Speed Dial Settings" /v "${pair%%:*}" | grep -q "REG_SZ *${pair#*:}\$" ||
        fail "${pair%%:*} is not ${pair#*:}"
done

# Two calls: Martin Paul held, Blanc Marc connected.
two_calls() {
    press 214 5 && wait_calls ' Martin Paul	- Connected -' 10 "2005 not connected"
    press 2020 5 && wait_calls ' Martin Paul	- OnHold -' 10 "2005 not held"
    press 215 5 && wait_calls '.*Blanc Marc	- Connected -.*' 10 "2010 not connected"
}
step="transfer"
two_calls
shot two-calls
# The connected call is the one selected; Transfer joins it to the held one.
press 2022 5 && wait_calls '' 10 "the calls did not end with the transfer"
grep -q 'set: soft key [0-9]* (Transf)$' "$work/zqsim.log" || fail "the set was not asked to transfer"

step="conference"
two_calls
press 2023 5
if wait_calls ' Martin Paul	- Conferenced -| Blanc Marc	- Conferenced -' 10 "no conference"; then
    grep -q "PBX: conference of call [0-9]* (2005 'Martin Paul') and call [0-9]* (2010 'Blanc Marc')" \
        "$work/zqsim.log" || fail "the set holds no conference"
    shot conference
    if wait_window Conference 5000; then
        shot conference-window
        { has 1540 'text="Martin Paul"' && has 1541 'text="Blanc Marc"'; } ||
            fail "the Conference window shows: $(grep -o 'text="[^"]*"' <<<"$controls" | tr '\n' ' ')"
        # The set leaves; the two others stay together.
        click 1542
        wait_calls '' 10 "the conference calls did not end"
        [ -z "$(info Conference)" ] || fail "the Conference window stayed"
    else
        fail "no Conference window"
    fi
fi

step="incoming"
sim_command call 1 0612345678
if wait_calls ' Dupont Jean	- Offering -' 10 "the incoming call was not offered"; then
    shot offering
    click_row 0
    press 2018 5 && wait_calls ' Dupont Jean	- Connected -' 10 "the incoming call was not answered"
    press 2019 5 && wait_calls '' 10 "the incoming call was not dropped"
fi

step="call log"
# The newest line of the file is the incoming call.
last=$(tr -d '\r' <"$calllog" 2>/dev/null | tail -n 1)
grep -q '^From:	Dupont Jean	0*612345678	' <<<"$last" || fail "the log's last line is \"$last\""
logged=$(tr -d '\r' <"$calllog" 2>/dev/null | wc -l)
xdotool key ctrl+l
if wait_window 'Call Log' 10000; then
    shot call-log
    items=$(control 1600 | sed -n 's/.* items="\([^"]*\)".*/\1/p')
    count=$(tr '|' '\n' <<<"$items" | grep -c . || true)
    [ "$count" = "$logged" ] || fail "the Call Log window lists $count calls, the file $logged"
    # Newest first.
    [ "${items%%|*}" = "$last" ] || fail "the Call Log window's first item is \"${items%%|*}\", not \"$last\""
    xdotool key ctrl+l
else
    fail "no Call Log window after Ctrl+L"
fi

step="restart"
exit_dialer
redial=$(for n in $(seq 20); do
    reg query "$settings\\Last Dialed Numbers" /v "Last Dialed $n" | sed -n 's/.*REG_SZ *//p'
done | grep . | paste -sd '|')
[ "$redial" = "2010|2005" ] || fail "the stored redial list is \"$redial\""
start_dialer
if wait_line 30; then
    wait_controls "^id=201 class=ComboBox enabled=1 .*items=\"$redial\"" 5 ||
        fail "the redial list after the restart: $(control 201)"
    shot restarted
else
    fail "the line did not come back after the restart"
fi

step="provider setup"
# COM2 leads to the same set. The new port is taken when the provider is
# loaded again: the dialer's own restart of telephony at its next idle
# moment (the line's REINIT) shuts the library down, which unloads the
# provider, and initialises it again, which loads it and opens COM2; so
# the next open does not meet LINEERR_REINIT and no Retry/Cancel box comes.
ln -sfn "$slave" "$com2"
sessions() { grep -c 'provider -> adapter: TQLA DEVICE_ASSOC ' "$work/zqsim.log" || true; }
before=$(sessions)
SETUP='VELMORA TSPI CONFIGURATION'
RESTART_BOX='Velmora 6200 SP Error'
focus_main
xdotool key alt+o
sleep 0.3
xdotool key p
if wait_window "$SETUP" 10000; then
    shot provider-setup
    has 1000 'sel="COM1"' || fail "the setup dialog's port: $(control 1000)"
    click 1000 && xdotool key Down Return
    sleep 0.2
    controls=$(info "$SETUP")
    has 1000 'sel="COM2"' || fail "COM2 was not chosen: $(control 1000)"
    click 1
    if wait_window "$RESTART_BOX" 10000; then
        shot provider-restart-box
        has 65535 'text="Serial Port configuration modified\. *Close and restart the application\."' ||
            fail "the restart box says: $(grep -o 'text="[^"]*"' <<<"$controls" | tr '\n' ' ')"
        click 1
    else
        fail "no restart box"
    fi
else
    fail "no setup dialog"
fi
[ "$(reg query "$provider_key" /v Port "$view" | awk '$1 == "Port" {print $3}')" = COM2 ] ||
    fail "the provider's port was not stored as COM2"
step="reinit"
# A new session on the set, then the line in service again, with no box.
# A loaded machine may lose the link once during the new download; the
# provider then starts it again, which takes its supervision's time.
for _ in $(seq 100); do
    [ "$(sessions)" -gt "$before" ] && break
    sleep 0.2
done
[ "$(sessions)" -gt "$before" ] || fail "the provider did not start again on the new port"
wait_controls 'id=214 class=Button enabled=1 .*text="Martin Paul"' 45 || fail "the line did not come back"
for caption in "$MAIN Warning" "$MAIN" "$RESTART_BOX"; do
    if info "$caption" | grep -q 'class=Static .*text="The Windows Telephony System'; then
        shot reinit-box
        fail "a box \"$caption\" asks to retry"
    fi
done
shot reinit
# A call over COM2.
press 214 5 && wait_calls ' Martin Paul	- Connected -' 10 "no call after the new port"
press 2019 5 && wait_calls '' 10 "the call over the new port was not dropped"
exit_dialer || true
dialer_report "zqdial32 calls"
exit $status
