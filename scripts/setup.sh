#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, when missing.
# Runs as root, or through sudo.
set -euo pipefail

# dpkg-dev (dpkg-shlibdeps) and lintian make and check the Debian package;
# nsis (makensis) makes the Windows installer.
packages=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev
          clang libclang-rt-14-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 python3
          dpkg-dev lintian nsis)
if [ "${ZQ_WITH_WINE:-0}" = 1 ]; then
    # xdotool and ImageMagick drive and photograph the dialogs under Xvfb.
    packages+=(wine wine64 wine32:i386 xvfb xdotool imagemagick)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    $sudo dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
# Wine is installed with its recommended packages, as it was measured.
wine=() plain=()
for p in "${missing[@]}"; do
    case "$p" in wine*|xvfb|xauth) wine+=("$p") ;; *) plain+=("$p") ;; esac
done
if [ ${#plain[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${plain[@]}"
fi
if [ ${#wine[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${wine[@]}"
fi
