# shellcheck shell=bash
# What the Wine tests against the simulator share, with the Wine
# environment. Sourced after their arguments are read:
#   repo=... arch=... zqsim=...
#   . "$repo/tests/wine/lib.sh"
# A test that starts more than the simulator defines zq_at_exit, which the
# cleanup runs first.

. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"

sim=""
work=""

zq_cleanup() {
    if declare -F zq_at_exit >/dev/null; then
        zq_at_exit
    fi
    [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
    # ZQ_KEEP_WORK=1 keeps the work folder and its logs for a look.
    if [ -n "${ZQ_KEEP_WORK:-}" ]; then
        echo "kept: $work"
    else
        rm -rf "$work"
    fi
}

# A fresh work folder in $work, removed with the simulator at exit.
zq_work_dir() { # NAME
    work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    trap zq_cleanup EXIT
}

# Starts zqsim on SETFILE, its output in LOGFILE, after ending the one
# started before; its pid in $sim. Its first line is the pseudo-terminal
# ($slave), which COM1 is then linked to. False, with $slave holding what
# came instead, when it did not start.
zq_start_sim() { # SETFILE LOGFILE [ZQSIM ARGS...]
    local setfile=$1 log=$2
    shift 2
    if [ -n "$sim" ]; then
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
    fi
    "$zqsim" --set "$setfile" "$@" >"$log" 2>&1 &
    sim=$!
    for _ in $(seq 100); do
        [ -s "$log" ] && break
        sleep 0.05
    done
    slave=$(head -n 1 "$log")
    case "$slave" in /dev/*) ;; *) return 1 ;; esac
    ln -sfn "$slave" "$ZQ_WINE_COM1_LINK"
}
