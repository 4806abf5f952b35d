#!/usr/bin/env bash
# The Windows provider under Wine against the simulated adapter, PBX and
# set: the line must go in service (LINE_LINEDEVSTATE CONNECTED|INSERVICE)
# and the set's configuration be downloaded; then tsphost, as TAPI, makes a
# call to 2010 of the simulator's directory, drops it once connected and
# closes it once idle.
#   tests/wine/download.sh REPO ARCH ZQSIM
set -euo pipefail
repo=$(cd "$1" && pwd)
arch=$2
zqsim=$3
. "$repo/tests/wine/lib.sh"
zq_work_dir zqwine

# 2010 answers after 500 ms.
{
    cat "$repo/sim/sets/default.set"
    echo "timing answer 500"
} >"$work/calls.set"
zq_start_sim "$work/calls.set" "$work/zqsim.log" --seconds 40 || { echo "zqsim did not start: $slave"; exit 1; }

trace="$WINEPREFIX/drive_c/windows/spitrace/tsptrac0.tr"
rm -f "$trace"
build="$repo/build/mingw-$arch"
# The call goes once the download is over: a first download refuses make
# calls. tsphost fails when a request is refused or not completed once
# with 0.
called=0
timeout 120 wine "$build/tools/win/tsphost.exe" --seconds 30 --words --wait INSERVICE --wait 3500 --call 2010 \
    --wait CONNECTED --drop --wait IDLE "$build/provider/zq_6232.tsp" </dev/null >"$work/host.log" 2>&1 || called=1
tr -d '\r' <"$work/host.log" >"$work/host.txt"

status=0
if ! grep -q 'tapi: line CONNECTED|INSERVICE' "$work/host.txt"; then
    echo "no LINE_LINEDEVSTATE CONNECTED|INSERVICE"
    status=1
fi
states=$(sed -n 's/.*tapi: call [0-9]* \([A-Z][A-Z]*\).*/\1/p' "$work/host.txt" | tr '\n' ' ')
if [ $called -ne 0 ] || [ "$states" != "DIALTONE DIALING PROCEEDING RINGBACK CONNECTED DISCONNECTED IDLE " ] ||
    ! grep -q 'TSPI_lineCloseCall call [0-9]* = ok' "$work/host.txt"; then
    echo "the call was not made, dropped and closed (states: $states)"
    status=1
fi
if ! grep -a -q ' Set Configuration processed - OK' "$trace"; then
    echo "the configuration was not downloaded"
    status=1
fi
grep -E 'lineOpen|tapi:|TSPI_line|wait |steps:|result' "$work/host.txt" || true
if [ $status -ne 0 ]; then
    echo "---- host"; cat "$work/host.txt"
    echo "---- zqsim"; tail -n 40 "$work/zqsim.log"
fi
exit $status
