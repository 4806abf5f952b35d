#!/usr/bin/env bash
# Runs the Windows provider under Wine against the adapter stand-in on a
# pseudo-terminal, for each architecture given (default: both).
#   tests/wine/run.sh [repo] [i686|x86_64 ...]
set -euo pipefail
repo=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
shift || true
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(i686 x86_64)

. "$repo/scripts/wine-env.sh"

status=0
for arch in "${arches[@]}"; do
    build="$repo/build/mingw-$arch"
    echo "== wine $arch"
    started=$SECONDS
    python3 "$repo/tests/wine/adapter.py" \
        --host "$build/tools/win/tsphost.exe" \
        --provider "$build/provider/zq_6232.tsp" \
        --link "$ZQ_WINE_COM1_LINK" \
        --trace "$WINEPREFIX/drive_c/windows/spitrace/tsptrac0.tr" || status=1
    echo "== wine $arch: $((SECONDS - started)) s"
done
exit $status
