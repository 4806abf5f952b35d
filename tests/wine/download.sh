#!/usr/bin/env bash
# The Windows provider under Wine against the simulated adapter, PBX and
# set: the line must go in service (LINE_LINEDEVSTATE CONNECTED|INSERVICE)
# and the set's configuration be downloaded.
#   tests/wine/download.sh REPO ARCH ZQSIM
set -euo pipefail
repo=$(cd "$1" && pwd)
arch=$2
zqsim=$3
. "$repo/scripts/wine-env.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/zqwine.XXXXXX")
sim=""
cleanup() {
    [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

"$zqsim" --seconds 40 >"$work/zqsim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do
    [ -s "$work/zqsim.log" ] && break
    sleep 0.05
done
slave=$(head -n 1 "$work/zqsim.log")
case "$slave" in /dev/*) ;; *) echo "zqsim did not start: $slave"; exit 1 ;; esac
ln -sfn "$slave" "$ZQ_WINE_COM1_LINK"

trace="$WINEPREFIX/drive_c/windows/spitrace/tsptrac0.tr"
rm -f "$trace"
build="$repo/build/mingw-$arch"
timeout 120 wine "$build/tools/win/tsphost.exe" --seconds 6 "$build/provider/zq_6232.tsp" >"$work/host.log" 2>&1 || true

status=0
if ! grep -q 'msg 8 params 0x44 0x0 0x0' "$work/host.log"; then
    echo "no LINE_LINEDEVSTATE CONNECTED|INSERVICE"
    status=1
fi
if ! grep -a -q ' Set Configuration processed - OK' "$trace"; then
    echo "the configuration was not downloaded"
    status=1
fi
grep -E 'lineOpen|line event|result' "$work/host.log" || true
if [ $status -ne 0 ]; then
    echo "---- host"; cat "$work/host.log"
    echo "---- zqsim"; tail -n 40 "$work/zqsim.log"
fi
exit $status
