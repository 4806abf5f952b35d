#!/usr/bin/env bash
# Builds the input fuzzers with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in build/fuzz and runs each in turn for the
# given number of seconds (60 by default), starting from its checked-in
# corpus:
#   link_fuzz       the link input, corpus tests/fuzz/corpus
#   callmodel_fuzz  set messages and PBX call events on a line in service,
#                   corpus tests/fuzz/callmodel_corpus
#   trace_fuzz      the trace reader, corpus tests/fuzz/trace_corpus
# New inputs go to build/fuzz/corpus and build/fuzz/callmodel_corpus; a crash
# is written to build/fuzz/ (callmodel_fuzz's with the prefix callmodel_) and
# makes the run fail once every fuzzer has run.
#
# Names after the seconds run only those fuzzers, e.g. one alone for 600 s:
#   bash tests/fuzz/run.sh 600 callmodel_fuzz
#
# ZQ_FUZZ_FAST=1 builds in build/fuzz-fast with UndefinedBehaviorSanitizer
# and the standard library's bounds assertions but without
# AddressSanitizer: three to four times the executions per second, for long
# runs; the new inputs go to the same corpus folders of build/fuzz.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
if [ $# -gt 0 ]; then fuzzers=("$@"); else fuzzers=(link_fuzz callmodel_fuzz trace_fuzz); fi
build=build/fuzz
corpora=build/fuzz

if [ "${ZQ_FUZZ_FAST:-0}" = 1 ]; then
    build=build/fuzz-fast
    flags="-fsanitize=fuzzer-no-link,undefined -fno-sanitize-recover=undefined -D_GLIBCXX_ASSERTIONS"
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DZQ_FUZZ=ON -DZQ_SANITIZE=OFF -DZQ_TESTS=ON -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
        -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=undefined -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=undefined >/dev/null
else
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DZQ_FUZZ=ON -DZQ_SANITIZE=ON -DZQ_TESTS=ON \
        -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
fi
cmake --build "$build" -j2 --target "${fuzzers[@]}"

failed=0
for fuzzer in "${fuzzers[@]}"; do
    case $fuzzer in
        link_fuzz) corpus=corpus seeds=tests/fuzz/corpus prefix="$build/" ;;
        callmodel_fuzz) corpus=callmodel_corpus seeds=tests/fuzz/callmodel_corpus prefix="$build/callmodel_" ;;
        trace_fuzz) corpus=trace_corpus seeds=tests/fuzz/trace_corpus prefix="$build/trace_" ;;
        *) echo "unknown fuzzer: $fuzzer" >&2; exit 2 ;;
    esac
    mkdir -p "$corpora/$corpus"
    echo "== $fuzzer: $seconds s"
    "$build/tests/$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$prefix" "$corpora/$corpus" "$seeds" || failed=1
done
exit $failed
