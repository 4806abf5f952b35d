#!/usr/bin/env bash
# zqphone's Windows console build over the project's tapi32.dll under Wine:
# everything it imports from tapi32.dll is exported by ours; "zqphone lines"
# lists the simulator's line; "zqphone dial 2010" calls 2010, which answers
# and hangs up, so the call ends DISCONNECTED, dropped, IDLE; "zqphone dial
# 2011" (answers, never hangs up) is dropped by Ctrl-C, which reaches the
# console control handler as SIGINT through Wine.
#   tests/wine/zqphone.sh REPO ARCH ZQSIM
set -euo pipefail
repo=$(cd "$1" && pwd)
arch=$2
zqsim=$3
. "$repo/tests/wine/lib.sh"
zq_work_dir zqphone
phone=""
zq_at_exit() {
    [ -n "$phone" ] && kill "$phone" 2>/dev/null || true
}

build="$repo/build/mingw-$arch"
cp "$build/telephony/win32/tapi32.dll" "$build/tools/zqphone/zqphone.exe" "$build/provider/zq_6232.tsp" "$work/"

status=0
# A name the DLL lacks would be bound to a stub that fails when called.
objdump=$arch-w64-mingw32-objdump
imports=$("$objdump" -p "$work/zqphone.exe" |
    awk '/DLL Name:/ {on = (tolower($3) == "tapi32.dll"); next} on && NF == 0 {on = 0} on && $2 ~ /^[0-9]+$/ {print $3}' |
    sort -u)
exports=$("$objdump" -p "$work/tapi32.dll" |
    awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /^[ \t]*\[/ {print $NF} on && /^$/ {on = 0}' | sort -u)
missing=$(comm -23 <(echo "$imports") <(echo "$exports"))
if [ -z "$imports" ] || [ -n "$missing" ]; then
    echo "zqphone.exe imports from tapi32.dll what it does not export: ${missing:-(no import found)}"
    status=1
fi

# 2010 answers after 300 ms and hangs up 500 ms later; 2011 answers after
# 300 ms and stays.
{
    sed 's/^party 2010 .*/party 2010 "Blanc Marc" answer 300 hangup 500/' "$repo/sim/sets/default.set"
    echo "timing answer 300"
} >"$work/calls.set"
# A simulator for each session of the line: after a session that ended
# while the set's configuration was still being read, the simulator does
# not answer the next session's association.
start_sim() { # LOG
    zq_start_sim "$work/calls.set" "$work/$1" --seconds 60 || { echo "zqsim did not start: $slave"; exit 1; }
}
start_sim zqsim.log

# Ours before the builtin; the provider comes from the registry's list,
# which zqphone writes where there is none, beside the DLL.
unset ZQTAPI_PROVIDER
overrides="$WINEDLLOVERRIDES;tapi32=n,b"
# The shell becomes timeout, so that a job started with it has timeout's pid.
phone() { # LOG TIMEOUT ARGS...
    local log=$1 limit=$2
    shift 2
    cd "$work" && WINEDLLOVERRIDES="$overrides" exec timeout "$limit" wine zqphone.exe "$@" </dev/null >"$work/$log" 2>&1
}
text() { tr -d '\r' <"$work/$1"; }
states() { text "$1" | sed -n 's/^[0-9:.]* call [0-9]* \([A-Z][A-Z]*\)\([ ,].*\)\{0,1\}$/\1/p' | tr '\n' ' '; }

started=$SECONDS
ran=0
(phone lines.log 30 lines) || ran=1
echo "== zqphone $arch: lines (exit $ran)"
text lines.log
if [ $ran -ne 0 ] || ! text lines.log | grep -q '^line 0: .*, voice$'; then
    echo "zqphone lines did not list the line"
    status=1
fi

ran=0
(phone hangup.log 60 --port COM1 dial 2010) || ran=1
echo "== zqphone $arch: dial 2010, hung up by the far end (exit $ran)"
text hangup.log
expected="DIALTONE DIALING PROCEEDING RINGBACK CONNECTED DISCONNECTED IDLE "
if [ $ran -ne 0 ] || [ "$(states hangup.log)" != "$expected" ] || ! text hangup.log | grep -q 'call 1 drop: ok$'; then
    echo "the call to 2010 was not made, hung up and dropped (states: $(states hangup.log))"
    status=1
fi

start_sim zqsim2.log
# Ctrl-C: SIGINT, which timeout passes on to the wine command, the Windows
# process itself.
: >"$work/ctrlc.log"
phone ctrlc.log 60 --port COM1 dial 2011 &
phone=$!
for _ in $(seq 600); do
    text ctrlc.log | grep -q ' call [0-9]* CONNECTED' && break
    kill -0 $phone 2>/dev/null || break
    sleep 0.05
done
kill -INT "$phone" 2>/dev/null || true
ran=0
wait $phone || ran=1
phone=""
echo "== zqphone $arch: dial 2011, Ctrl-C (exit $ran)"
text ctrlc.log
if [ $ran -ne 0 ] || [ "$(states ctrlc.log)" != "$expected" ] ||
    ! text ctrlc.log | grep -q 'call 1 drop: ok$'; then
    echo "Ctrl-C did not drop the call to 2011 (states: $(states ctrlc.log))"
    status=1
fi
echo "== $((SECONDS - started)) s"

if [ $status -ne 0 ]; then
    for log in zqsim zqsim2; do
        [ -f "$work/$log.log" ] && { echo "---- $log"; tail -n 40 "$work/$log.log"; }
    done
fi
exit $status
