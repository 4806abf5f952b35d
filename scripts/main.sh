#!/usr/bin/env bash
# The main job: the whole system on the simulated default set. zqsim (the
# adapter, the PBX and the set) runs on a pseudo-terminal linked as COM1 of
# the prefix; zqphone watch loads the provider through libzqtapi.so and
# opens its line there: the link comes up, the set's configuration is
# downloaded and the line goes in service. Then the steps of
# scripts/main-calls.zqs are played, each once zqphone has printed what the
# one before it waits for: a call placed by `zqphone dial` from a second
# process (handed to the watch by assisted telephony), answered by the
# simulated party and dropped from the watch, and an incoming call answered
# from the watch. zqsim's lines show the traffic in words, zqphone's the
# TAPI events with the parties.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target zqphone zqsim zq_6232

script=${ZQ_SCRIPT:-scripts/main-calls.zqs}
seconds=${ZQ_SECONDS:-60}   # the longest the simulator runs
phone_bin=build/release/tools/zqphone/zqphone
export ZQTAPI_PROVIDER="$PWD/build/release/provider/libzq_6232.so"
start_ns=$(date +%s%N)

work=$(mktemp -d "${TMPDIR:-/tmp}/zqmain.XXXXXX")
sim="" phone="" tailers=()
cleanup() {
    exec 3>&- 4>&-
    [ -n "$phone" ] && kill "$phone" 2>/dev/null || true
    [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkfifo "$work/sim.in" "$work/phone.in"
: >"$work/sim.log"
: >"$work/phone.log"

# zqsim takes its commands from a pipe as they come; it prints the
# terminal's path first, once COM1 is linked to it.
build/release/sim/zqsim --link COM1 --seconds "$seconds" --script - <"$work/sim.in" >"$work/sim.log" 2>&1 &
sim=$!
exec 3>"$work/sim.in"
for _ in $(seq 100); do
    [ -n "$(head -n 1 "$work/sim.log")" ] && break
    kill -0 "$sim" 2>/dev/null || { echo "zqsim did not start" >&2; exit 1; }
    sleep 0.05
done
echo "zqsim: default set on $(head -n 1 "$work/sim.log"), linked as COM1"
tail -s 0.1 -n +2 -f --pid="$sim" "$work/sim.log" | sed -u 's/^/zqsim   /' &
tailers+=($!)

"$phone_bin" --port COM1 watch <"$work/phone.in" >"$work/phone.log" 2>&1 &
phone=$!
exec 4>"$work/phone.in"
tail -s 0.1 -n +1 -f --pid="$phone" "$work/phone.log" | sed -u 's/^/zqphone /' &
tailers+=($!)

# Lines of zqphone's output already matched: each expect looks after them.
seen=0
expect() {
    local deadline=$((SECONDS + 15)) n
    while :; do
        n=$(tail -n +$((seen + 1)) "$work/phone.log" | grep -n -F -m 1 -- "$1" | cut -d: -f1 || true)
        if [ -n "$n" ]; then
            seen=$((seen + n))
            return 0
        fi
        kill -0 "$phone" 2>/dev/null || { echo "main job: zqphone ended" >&2; return 1; }
        [ "$SECONDS" -lt "$deadline" ] || { echo "main job: no '$1' from zqphone in 15 s" >&2; return 1; }
        sleep 0.02
    done
}

status=0
lineno=0
while IFS= read -r line || [ -n "$line" ]; do
    lineno=$((lineno + 1))
    line=${line%%$'\r'}
    case "$line" in '' | '#'*) continue ;; esac
    step=${line%% *}
    arg=${line#"$step"}
    arg=${arg# }
    case "$step" in
        expect) expect "$arg" || { status=1; break; } ;;
        key) echo "$arg" >&4 ;;
        sim) echo "$arg" >&3 ;;
        dial) "$phone_bin" dial "$arg" 2>&1 | sed 's/^/zqphone dial /' || status=1 ;;
        pause) sleep "$((arg / 1000)).$(printf %03d $((arg % 1000)))" ;;
        *) echo "$script:$lineno: unknown step '$step'" >&2; status=1; break ;;
    esac
done <"$script"

echo q >&4
exec 4>&-
wait "$phone" 2>/dev/null || status=1
phone=""
exec 3>&-
kill "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
sim=""
wait "${tailers[@]}" 2>/dev/null || true
end_ns=$(date +%s%N)
echo "main job: $( ((status == 0)) && echo done || echo FAILED ) in $(((end_ns - start_ns) / 1000000)) ms after the build"
exit "$status"
