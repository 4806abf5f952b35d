#!/usr/bin/env bash
# The provider's setup dialogs under Wine, as TAPI runs them (tuihost):
# clicked and typed into with xdotool, every assertion read from the
# controls by wininfo from another process, never from pixels.
#  - the main dialog shows the versions, the line name and the enabling
#    rules; OK with a new port sends command 2 and stores the port;
#  - Cancel sends nothing after command 1; Help blocks nothing;
#  - the advanced dialog stores what OK changed; Defaults then Cancel, a
#    digit count out of range and a prefix too long for the record change
#    nothing;
#  - with the line open on the simulator, a new port gives REINIT, the
#    restart box and LINEERR_REINIT on the next open.
# One screenshot of each dialog is kept in build/mingw-ARCH/screens.
#   tests/wine/setup.sh REPO ARCH ZQSIM
set -euo pipefail
repo=$(cd "$1" && pwd)
arch=$2
zqsim=$3
. "$repo/tests/wine/lib.sh"
if ! command -v xdotool >/dev/null || ! command -v import >/dev/null; then
    echo "xdotool and ImageMagick are needed (scripts/setup.sh with ZQ_WITH_WINE=1)"
    exit 1
fi

zq_work_dir zqsetup
build="$repo/build/mingw-$arch"
shots="$build/screens"
com2="$(dirname "$ZQ_WINE_COM1_LINK")/wine-com2"
ptys="" host=""
zq_at_exit() {
    for pid in $host $ptys; do
        kill "$pid" 2>/dev/null || true
    done
    # A link left behind could lead to another program's terminal later.
    rm -f "$com2"
}

mkdir -p "$shots"
cp "$build/tools/win/tuihost.exe" "$build/tools/win/wininfo.exe" "$build/provider/zq_6232.tsp" \
    "$build/provider/zq_spi.html" "$build/provider/zq_spi62.html" "$work/"

# Two pseudo-terminals held open, so that COM1 and COM2 can be opened.
python3 -c '
import os, pty, time
ends = [pty.openpty() for _ in range(2)]
print(" ".join(os.ttyname(s) for _, s in ends), flush=True)
time.sleep(300)' >"$work/ptys" &
ptys=$!
for _ in $(seq 100); do
    [ -s "$work/ptys" ] && break
    sleep 0.05
done
read -r pty1 pty2 <"$work/ptys"
ln -sfn "$pty1" "$ZQ_WINE_COM1_LINK"
ln -sfn "$pty2" "$com2"

# The provider's key in the registry view of this architecture: "wine reg"
# itself is a 32-bit program unless told otherwise.
regkey='HKLM\Software\Velmora\TSpi_6200'
regview=/reg:64
[ "$arch" = i686 ] && regview=/reg:32
reg() { wine reg "$@" "$regview" </dev/null 2>/dev/null | tr -d '\r'; }
reg_value() { # SUBKEY NAME
    reg query "$regkey\\$1" /v "$2" | awk -v n="$2" '$1 == n {print $3}'
}
reg_all() { reg query "$regkey" /s | grep REG_ || true; }

MAIN='VELMORA TSPI CONFIGURATION'
ADVANCED='V6200 TSPI CONFIGURATION'
BOX='Velmora 6200 SP Error'
status=0
fail() {
    echo "FAIL [$scenario]: $*"
    status=1
}

start_host() { # LOG ARGS...
    local log=$1
    shift
    (cd "$work" && exec timeout 50 wine tuihost.exe --port COM1 "$@" zq_6232.tsp </dev/null >"$work/$log" 2>&1) &
    host=$!
}
# Waits for the host to end; its output without CR in $work/LOG.txt.
end_host() { # LOG
    wait "$host" 2>/dev/null || true
    host=""
    tr -d '\r' <"$work/$1" >"$work/$1.txt"
}
# The controls of a window, into $work/NAME; false when it does not come.
controls() { # CAPTION NAME [WAIT_MS]
    timeout 30 wine "$work/wininfo.exe" --wait "${3:-15000}" "$1" </dev/null 2>/dev/null | tr -d '\r' >"$work/$2" &&
        [ -s "$work/$2" ]
}
# One field of a control in a listing: a quoted text or a plain value.
field() { # NAME ID FIELD
    local line
    line=$(grep -m1 "^id=$2 " "$work/$1") || return 0
    case "$line" in
        *" $3=\""*) sed -n "s/.* $3=\"\([^\"]*\)\".*/\1/p" <<<"$line" ;;
        *) sed -n "s/.* $3=\([^ ]*\).*/\1/p" <<<"$line" ;;
    esac
}
expect() { # NAME ID FIELD VALUE
    local got
    got=$(field "$1" "$2" "$3")
    [ "$got" = "$4" ] || fail "control $2 $3 is \"$got\", expected \"$4\""
}
# A click in the middle of a control, its rectangle read back by wininfo.
click() { # CAPTION ID
    local x y w h
    read -r x y w h < <(timeout 20 wine "$work/wininfo.exe" "$1" --rect "$2" </dev/null 2>/dev/null | tr -d '\r') ||
        return 1
    xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
    sleep 0.2
}
# Replaces an edit control's text by typing.
type_into() { # CAPTION ID TEXT
    click "$1" "$2" || return 1
    xdotool key End shift+Home
    xdotool type --delay 5 "$3"
}
# The drop-down list's next entry.
next_port() {
    click "$MAIN" 1000 || return 1
    xdotool key Down Return
    sleep 0.2
}
screenshot() { # CAPTION FILE
    local wid
    wid=$(timeout 10 xdotool search --name "^$1\$" | head -1) && import -window "$wid" "$shots/$2"
}
# From here on every check reports and goes on.
set +e
commands() { sed -n 's/.*callback: command \([0-9-]*\) size \([0-9]*\)$/\1:\2/p' "$work/$1.txt" | tr '\n' ' '; }
started=$SECONDS

scenario=main-ok
start_host main.log
if controls "$MAIN" main1; then
    screenshot "$MAIN" setup-main.png || echo "no screenshot of the main dialog"
    expect main1 1401 text 3.1.6
    expect main1 1003 text 6200
    expect main1 1001 text 3861
    expect main1 1002 text VELMORA_ZQ_6200
    expect main1 1026 sel "0: English"
    expect main1 1026 enabled 0
    # No line open: adapter version 0.0, TQLA version 0.
    expect main1 1029 text "00.  0"
    expect main1 1029 enabled 0
    expect main1 1041 enabled 1
    expect main1 1000 sel COM1
    next_port
    controls "$MAIN" main2 && expect main2 1000 sel COM2
    click "$MAIN" 1
else
    fail "the main dialog did not open"
fi
end_host main.log
[ "$(commands main.log)" = "1:176 2:176 " ] || fail "records sent: $(commands main.log)"
grep -q 'TUISPI_lineConfigDialog = 0$' "$work/main.log.txt" || fail "TUISPI_lineConfigDialog failed"
[ "$(reg_value Provider Port)" = COM2 ] || fail "Provider\\Port is \"$(reg_value Provider Port)\", expected COM2"

scenario=main-cancel
start_host cancel.log
if controls "$MAIN" cancel1; then
    next_port
    # Help opens the page beside the provider, or fails quietly where no
    # browser is set up: either way the dialog goes on.
    click "$MAIN" 9
    click "$MAIN" 2
else
    fail "the main dialog did not open"
fi
end_host cancel.log
[ "$(commands cancel.log)" = "1:176 " ] || fail "records sent: $(commands cancel.log)"
[ "$(reg_value Provider Port)" = COM1 ] || fail "Provider\\Port is \"$(reg_value Provider Port)\", expected COM1"

# From missing values (the provider writes its defaults) to values of our
# own, so that what follows can tell kept from reset.
scenario=advanced-ok
for sub in Prefix SetConfig; do
    reg delete "$regkey\\$sub" /f >/dev/null
done
start_host advanced.log
if controls "$MAIN" adv0 && click "$MAIN" 1041 && controls "$ADVANCED" adv1; then
    screenshot "$ADVANCED" setup-advanced.png || echo "no screenshot of the advanced dialog"
    expect adv1 1043 text 0
    expect adv1 1044 text 08
    expect adv1 1042 checked 0
    expect adv1 1046 checked 1
    expect adv1 1045 checked 0
    type_into "$ADVANCED" 1043 9
    type_into "$ADVANCED" 1044 12
    click "$ADVANCED" 1042
    click "$ADVANCED" 1045
    click "$ADVANCED" 1
    sleep 0.3
    click "$MAIN" 2
else
    fail "the advanced dialog did not open"
fi
end_host advanced.log
[ "$(commands advanced.log)" = "1:176 3:36 4:36 " ] || fail "records sent: $(commands advanced.log)"
for pair in Prefix:ExtPrefix:9 Prefix:ExtPrefixDisp:1 SetConfig:MaxDigitLocal:12 SetConfig:EnquiryCallMode:1; do
    IFS=: read -r sub name want <<<"$pair"
    got=$(reg_value "$sub" "$name")
    [ "$got" = "$want" ] || fail "$sub\\$name is \"$got\", expected \"$want\""
done

# Defaults then Cancel; a digit count of 25 digits, then of 25; a prefix
# longer than the record's 19 characters, then one just longer than the 4
# the provider keeps: nothing may change.
scenario=advanced-unchanged
before=$(reg_all)
start_host unchanged.log
if controls "$MAIN" un0 && click "$MAIN" 1041 && controls "$ADVANCED" un1; then
    expect un1 1043 text 9
    expect un1 1044 text 12
    expect un1 1042 checked 1
    expect un1 1045 checked 1
    click "$ADVANCED" 1049
    click "$ADVANCED" 1020
    if controls "$ADVANCED" un2; then
        expect un2 1043 text 0
        expect un2 1044 text 8
        expect un2 1042 checked 0
        expect un2 1046 checked 1
        expect un2 1045 checked 0
    fi
    click "$ADVANCED" 2
    for entry in 1234567890123456789012345:1234567890123456789012345678901234567890 25:12345; do
        IFS=: read -r digits prefix <<<"$entry"
        sleep 0.3
        if ! click "$MAIN" 1041 || ! controls "$ADVANCED" un3; then
            fail "the advanced dialog did not open again"
            break
        fi
        type_into "$ADVANCED" 1044 "$digits"
        type_into "$ADVANCED" 1043 "$prefix"
        controls "$ADVANCED" un4 && expect un4 1044 text "$digits"
        click "$ADVANCED" 1
    done
    sleep 0.3
    click "$MAIN" 2
else
    fail "the advanced dialog did not open"
fi
end_host unchanged.log
[ "$(commands unchanged.log)" = "1:176 3:36 3:36 3:36 " ] || fail "records sent: $(commands unchanged.log)"
grep -q 'TUISPI_lineConfigDialog = 0$' "$work/unchanged.log.txt" || fail "TUISPI_lineConfigDialog failed"
after=$(reg_all)
[ "$before" = "$after" ] || fail "the registry changed: $(diff <(echo "$before") <(echo "$after") | grep '^[<>]' | tr '\n' ' ')"

# The line open on the simulated set: a new port takes effect only after a
# restart, which the provider asks for.
scenario=reinit
zq_start_sim "$repo/sim/sets/default.set" "$work/zqsim.log" --seconds 40 || fail "zqsim did not start: $slave"
start_host reinit.log --open --seconds 15
if controls "$MAIN" re1 25000; then
    # In service: the adapter's version is known; TQLA version 3 and
    # provider byte 2 leave Advanced disabled.
    [ "$(field re1 1029 enabled)" = 1 ] && [ "$(field re1 1029 text)" != "00.  0" ] ||
        fail "adapter version \"$(field re1 1029 text)\" enabled=$(field re1 1029 enabled)"
    expect re1 1041 enabled 0
    next_port
    click "$MAIN" 1
    if controls "$BOX" box 10000; then
        grep -q '^id=[0-9-]* class=Static .*text="Serial Port configuration modified\. *Close and restart the application\."' \
            "$work/box" || fail "the restart box says: $(grep -o 'text=.*' "$work/box" | tr '\n' ' ')"
        click "$BOX" 1
    else
        fail "no restart box"
    fi
else
    fail "the main dialog did not open"
fi
end_host reinit.log
grep -q 'event: LINE_LINEDEVSTATE REINIT$' "$work/reinit.log.txt" || fail "no LINE_LINEDEVSTATE REINIT"
grep -q 'TSPI_lineOpen again = LINEERR_REINIT$' "$work/reinit.log.txt" || fail "the next open did not fail with REINIT"
[ "$(commands reinit.log)" = "1:176 2:176 " ] || fail "records sent: $(commands reinit.log)"
[ "$(reg_value Provider Port)" = COM2 ] || fail "Provider\\Port is \"$(reg_value Provider Port)\", expected COM2"
# The port the other tests expect.
reg add "$regkey\\Provider" /v Port /t REG_SZ /d COM1 /f >/dev/null

echo "== setup dialogs $arch: $((SECONDS - started)) s, screenshots in $shots"
for log in main cancel advanced unchanged reinit; do
    echo "-- $log"
    grep -E 'callback:|TUISPI_|event:|TSPI_lineOpen|registry Provider' "$work/$log.log.txt" | sed 's/^\[ *[0-9]* ms\] //'
done
if [ $status -ne 0 ]; then
    for f in "$work"/*.log.txt; do
        echo "---- $(basename "$f")"
        cat "$f"
    done
fi
exit $status
