#!/usr/bin/env bash
# Builds every preset and runs every test: the native tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the release build's
# tests, and the checks of the Windows cross builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
for preset in dev release mingw-i686 mingw-x86_64; do
    echo "== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs"
done

echo "== Windows exports"
bash scripts/check-exports.sh build/mingw-i686 i686-w64-mingw32-objdump
bash scripts/check-exports.sh build/mingw-x86_64 x86_64-w64-mingw32-objdump

echo "== tests (release)"
ctest --preset release
echo "== tests (dev: ASan + UBSan)"
ctest --preset dev
