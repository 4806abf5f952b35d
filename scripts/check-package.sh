#!/usr/bin/env bash
# Builds the Debian package from the release preset, lists what it holds and
# checks it with lintian: any error or warning fails. Informational tags are
# shown only. Needs dpkg-dev (the package's Depends) and lintian
# (scripts/setup.sh installs both).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release >/dev/null
cmake --build --preset release -j"${ZQ_JOBS:-2}"
cmake --build --preset release --target package

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' build/release/CPackConfig.cmake)
deb="build/release/zq6232_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "check-package: $deb was not made" >&2; exit 1; }

echo "== $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
# Without dpkg-shlibdeps CPack quietly leaves Depends empty.
if ! dpkg-deb --field "$deb" Depends | grep -q 'libc6'; then
    echo "check-package: the package depends on nothing (is dpkg-dev installed?)" >&2
    exit 1
fi

echo "== lintian"
lintian --fail-on error,warning --display-info "$deb"
echo "check-package: $deb passes lintian"
