#!/usr/bin/env bash
# The main job: builds the provider and the simulator, starts zqsim (the
# adapter, the PBX and the default set) on a pseudo-terminal linked as COM1
# of the prefix, and lets zqhost load the provider and open its line on
# COM1: the link comes up, the set's configuration is downloaded and the
# line goes in service; then zqsim plays the calls of scripts/main-calls.zqs
# (an incoming call, then a call made on the set). zqsim's lines show the
# traffic in words; zqhost shows TAPI's events with the parties it reads
# back from the provider and, at the end, the provider's trace.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target zqhost zqsim

# Long enough for the download and every call of the script.
seconds=${ZQ_SECONDS:-22}
script=${ZQ_SCRIPT:-scripts/main-calls.zqs}
log=$(mktemp "${TMPDIR:-/tmp}/zqsim.XXXXXX")
sim=""
tailer=""
cleanup() {
    [ -n "$tailer" ] && kill "$tailer" 2>/dev/null || true
    if [ -n "$sim" ]; then
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
    fi
    rm -f "$log"
}
trap cleanup EXIT

# zqsim prints the terminal's path first, once COM1 is linked to it; it
# ends by itself at the latest some seconds after the host.
build/release/sim/zqsim --link COM1 --seconds $((seconds + 10)) --script "$script" >"$log" &
sim=$!
for _ in $(seq 100); do
    [ -n "$(head -n 1 "$log")" ] && break
    kill -0 "$sim" 2>/dev/null || { echo "zqsim did not start" >&2; exit 1; }
    sleep 0.05
done
echo "zqsim: default set on $(head -n 1 "$log"), linked as COM1"
tail -n +2 -f --pid="$sim" "$log" | sed -u 's/^/zqsim /' &
tailer=$!

status=0
stdbuf -oL build/release/tools/zqhost --port COM1 --seconds "$seconds" || status=$?

kill "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
sim=""
wait "$tailer" 2>/dev/null || true  # the last lines of zqsim's log
tailer=""
exit "$status"
