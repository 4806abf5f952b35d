#!/usr/bin/env bash
# Builds the link input fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in build/fuzz and runs it for the given
# number of seconds (60 by default), starting from the checked-in corpus.
# New inputs go to build/fuzz/corpus; a crash is written to build/fuzz/ and
# ends the run with a failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
build=build/fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZQ_FUZZ=ON -DZQ_SANITIZE=ON -DZQ_TESTS=ON \
    -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" --target link_fuzz

mkdir -p "$build/corpus"
"$build/tests/link_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/" "$build/corpus" tests/fuzz/corpus
