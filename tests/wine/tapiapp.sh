#!/usr/bin/env bash
# The project's tapi32.dll under Wine in place of the builtin. tapiapp.exe
# binds it as the dialer does and, as the MAKECALL recipient, takes a
# request of another program (of the other architecture when built) to
# call 2010 of the simulator; through the library and the provider (found
# from the registry's provider list, beside the DLL) it sees CONNECTED,
# drops, sees IDLE and shuts down, every callback on the thread that
# initialised. Then the location dialog of the first run, filled in and
# confirmed, must have written the location.
#   tests/wine/tapiapp.sh REPO ARCH ZQSIM
set -euo pipefail
repo=$(cd "$1" && pwd)
arch=$2
zqsim=$3
. "$repo/tests/wine/lib.sh"
zq_work_dir zqtapiapp

build="$repo/build/mingw-$arch"
cp "$build/telephony/win32/tapi32.dll" "$build/telephony/win32/tapiapp.exe" "$build/provider/zq_6232.tsp" "$work/"

# 2010 answers after 500 ms.
{
    cat "$repo/sim/sets/default.set"
    echo "timing answer 500"
} >"$work/calls.set"
zq_start_sim "$work/calls.set" "$work/zqsim.log" --seconds 40 || { echo "zqsim did not start: $slave"; exit 1; }

# Ours before the builtin, for these programs only; the provider comes from
# the registry, not from the environment.
unset ZQTAPI_PROVIDER
overrides="$WINEDLLOVERRIDES;tapi32=n,b"
run() { # DIR LOG TIMEOUT ARGS...
    local dir=$1 log=$2 limit=$3
    shift 3
    (cd "$dir" && WINEDLLOVERRIDES="$overrides" timeout "$limit" wine tapiapp.exe "$@" </dev/null >"$log" 2>&1)
}

# The number comes by tapiRequestMakeCall from another program: one of the
# other architecture when it is built, so that 32 and 64 bits meet.
other=x86_64
[ "$arch" = x86_64 ] && other=i686
sender="$repo/build/mingw-$other/telephony/win32"
[ -f "$sender/tapiapp.exe" ] && [ -f "$sender/tapi32.dll" ] || sender="$build/telephony/win32"
mkdir "$work/sender"
cp "$sender/tapi32.dll" "$sender/tapiapp.exe" "$work/sender/"

started=$SECONDS
: >"$work/app.log"
run "$work" "$work/app.log" 60 --recipient --seconds 20 &
app=$!
for _ in $(seq 400); do
    grep -q 'lineRegisterRequestRecipient: ' "$work/app.log" && break
    kill -0 $app 2>/dev/null || break
    sleep 0.05
done
sent=0
run "$work/sender" "$work/sender.log" 30 --request 2010 || sent=1
ran=0
wait $app || ran=1
run "$work" "$work/location.log" 30 --location || ran=1
for log in app sender location; do
    tr -d '\r' <"$work/$log.log" >"$work/$log.txt"
done
echo "== tapiapp $arch (request from $(basename "$(dirname "$(dirname "$sender")")")): $((SECONDS - started)) s"
cat "$work/app.txt"
echo "-- sender"
cat "$work/sender.txt"
echo "-- location"
cat "$work/location.txt"

status=0
if ! grep -q '] zqtapiIdentify: zqtapi ' "$work/app.txt" "$work/sender.txt" "$work/location.txt"; then
    echo "zqtapiIdentify did not answer: the builtin tapi32 was loaded"
    status=1
fi
states=$(sed -n 's/.*callback LINE_CALLSTATE hCall [0-9a-fx]* \([A-Z][A-Z]*\) .*/\1/p' "$work/app.txt" | tr '\n' ' ')
if [ "$states" != "DIALTONE DIALING PROCEEDING RINGBACK CONNECTED DISCONNECTED IDLE " ]; then
    echo "unexpected call states: $states"
    status=1
fi
if ! grep -q 'callback LINE_LINEDEVSTATE .*INSERVICE.* on the tapi thread' "$work/app.txt" ||
    grep -q 'NOT the tapi thread' "$work/app.txt"; then
    echo "a callback did not run on the thread that initialised"
    status=1
fi
for step in lineDeallocateCall lineClose lineShutdown; do
    grep -q "] $step: ok\$" "$work/app.txt" || { echo "$step did not succeed"; status=1; }
done
if [ $sent -ne 0 ] || ! grep -q '] lineGetRequestA: ok, call "2010" to "Blanc Marc" for "tapiapp"$' "$work/app.txt"; then
    echo "the request did not reach the recipient"
    status=1
fi
if ! grep -q '] location: name "Office 2", area code "030", outside access "9", NumEntries 1$' "$work/location.txt"; then
    echo "the location dialog did not write the location"
    status=1
fi
if [ $ran -ne 0 ] || ! grep -q '] result: ok$' "$work/app.txt" || ! grep -q '] result: ok$' "$work/location.txt"; then
    echo "tapiapp failed"
    status=1
fi
if [ $status -ne 0 ]; then
    echo "---- zqsim"; tail -n 40 "$work/zqsim.log"
fi
exit $status
