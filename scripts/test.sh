#!/usr/bin/env bash
# Builds every preset and runs every test: the Windows cross builds with
# their export and conformance checks and the provider under Wine, the
# release build's tests and its Debian package (lintian), the native tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, and those that use
# threads (with a minute of the lifecycle stress) under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
ZQ_WITH_WINE=1 bash scripts/setup.sh

jobs=$(nproc)
# The Windows builds first: the native test lists include the Wine tests
# only when the Windows programs exist.
for preset in mingw-i686 mingw-x86_64 dev release tsan; do
    echo "== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs"
done

echo "== Windows exports"
bash scripts/check-exports.sh build/mingw-i686 i686-w64-mingw32-objdump
bash scripts/check-exports.sh build/mingw-x86_64 x86_64-w64-mingw32-objdump

echo "== tests (release, with the provider under Wine)"
ctest --preset release
echo "== the Debian package (lintian)"
bash scripts/check-package.sh
echo "== tests (dev: ASan + UBSan)"
ctest --preset dev -LE wine
echo "== tests that use threads (tsan: ThreadSanitizer, zq_stress for 60 s)"
ctest --preset tsan -L threads

echo "== fuzzing the link input (60 s)"
bash tests/fuzz/run.sh "${ZQ_FUZZ_SECONDS:-60}"
