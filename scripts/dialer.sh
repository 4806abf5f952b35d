#!/usr/bin/env bash
# Try the dialer: zqdial32.exe under Wine against the simulated set.
#
#   scripts/dialer.sh [--arch i686|x86_64] [--headless] [--set FILE] [--build] [--reset]
#
# The dialer runs with the project's tapi32.dll beside it (a DLL override
# for zqdial32.exe only) and the provider zq_6232.tsp; COM1 of the prefix
# leads to zqsim's pseudo-terminal. zqsim reads its commands from this
# terminal while the dialer runs (sim/README.md), for example
#     call 1 0612345678     Dupont Jean calls on line key 1
#     hangup                the far party hangs up
#     state                 the set in words
# Dial 2005 (Martin Paul answers after 2 s), 2006 (busy) or 2010 from the
# dialer. The simulator's traffic goes to build/dialer-ARCH/zqsim.log, the
# dialer's own output to build/dialer-ARCH/zqdial32.log.
#
#   --arch      the build to run (default i686; both need their own build)
#   --headless  on the virtual display :99 of scripts/wine-env.sh instead of
#               $DISPLAY; look at it with
#               import -display :99 -window root shot.png
#   --set FILE  the simulated set (default sim/sets/default.set)
#   --build     build what is needed first (mingw preset of ARCH, zqsim)
#   --reset     forget the dialer's settings and the telephony location, as
#               on a first run (the location dialog then comes up)
# The dialer ends with its window; Ctrl-C here ends it and the simulator.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

arch=i686
headless=0
build=0
reset=0
set_file="$repo/sim/sets/default.set"
while [ $# -gt 0 ]; do
    case "$1" in
        --arch) arch=${2:?--arch needs i686 or x86_64}; shift 2 ;;
        --headless) headless=1; shift ;;
        --set) set_file=$(cd "$(dirname "${2:?--set needs a file}")" && pwd)/$(basename "$2"); shift 2 ;;
        --build) build=1; shift ;;
        --reset) reset=1; shift ;;
        -h | --help) sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "dialer.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done
case "$arch" in i686 | x86_64) ;; *) echo "dialer.sh: --arch is i686 or x86_64" >&2; exit 2 ;; esac
user_display=${DISPLAY:-}
if [ $headless -eq 0 ] && [ -z "$user_display" ]; then
    echo "dialer.sh: no DISPLAY; use --headless for the virtual display" >&2
    exit 2
fi

mingw="$repo/build/mingw-$arch"
if [ $build -eq 1 ]; then
    cmake --preset "mingw-$arch" >/dev/null
    cmake --build --preset "mingw-$arch" -j2 --target zqdial32 zqtapi32 zq_6232
    cmake --preset release >/dev/null
    cmake --build --preset release -j2 --target zqsim
fi
zqsim=""
for candidate in "$repo/build/release/sim/zqsim" "$repo/build/dev/sim/zqsim"; do
    [ -x "$candidate" ] && { zqsim=$candidate; break; }
done
files=("$mingw/dialer/win32/zqdial32.exe" "$mingw/dialer/win32/zqdial32.html"
    "$mingw/telephony/win32/tapi32.dll" "$mingw/provider/zq_6232.tsp")
for file in "${files[@]}"; do
    [ -f "$file" ] || { echo "dialer.sh: $file is missing; run with --build" >&2; exit 1; }
done
[ -n "$zqsim" ] || { echo "dialer.sh: zqsim is not built; run with --build" >&2; exit 1; }

. "$repo/scripts/wine-env.sh"
# The virtual display stays for the prefix's own programs; the dialer shows
# on the person's display.
[ $headless -eq 0 ] && export DISPLAY=$user_display

work="$repo/build/dialer-$arch"
rm -rf "$work"
mkdir -p "$work"
cp "${files[@]}" "$work/"
sim="" dialer=""
cleanup() {
    [ -n "$dialer" ] && kill "$dialer" 2>/dev/null || true
    [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The registry of this architecture's view: a 32-bit program's machine keys
# lie under Wow6432Node.
view=/reg:64
[ "$arch" = i686 ] && view=/reg:32
reg() { wine reg "$@" "$view" </dev/null >/dev/null 2>&1; }
# Our tapi32.dll for the dialer only; the provider list names ours, found
# beside the DLL; the provider talks on COM1.
wine reg add 'HKCU\Software\Wine\AppDefaults\zqdial32.exe\DllOverrides' /v tapi32 /t REG_SZ /d native,builtin /f \
    </dev/null >/dev/null 2>&1
providers='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Telephony\Providers'
reg add "$providers" /v NumProviders /t REG_DWORD /d 1 /f
reg add "$providers" /v NextProviderID /t REG_DWORD /d 2 /f
reg add "$providers" /v ProviderFileName0 /t REG_SZ /d zq_6232.tsp /f
reg add "$providers" /v ProviderID0 /t REG_DWORD /d 1 /f
reg add 'HKLM\SOFTWARE\Velmora\TSpi_6200\Provider' /v Port /t REG_SZ /d COM1 /f
reg add 'HKLM\SOFTWARE\Velmora\TSpi_6200\Provider' /v Speed /t REG_SZ /d 9600 /f
if [ $reset -eq 1 ]; then
    wine reg delete 'HKCU\Software\Velmora\ZqDialer32' /f </dev/null >/dev/null 2>&1 || true
    reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\Telephony\Locations' /f || true
fi
unset ZQTAPI_PROVIDER

# The simulator reads its commands from this terminal.
exec 3<&0
"$zqsim" --set "$set_file" --script - <&3 >"$work/zqsim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do
    [ -s "$work/zqsim.log" ] && break
    sleep 0.05
done
slave=$(head -n 1 "$work/zqsim.log")
case "$slave" in /dev/*) ;; *) echo "dialer.sh: zqsim did not start: $slave" >&2; exit 1 ;; esac
ln -sfn "$slave" "$ZQ_WINE_COM1_LINK"

echo "zqsim: $(basename "$set_file") on $slave (COM1); traffic in $work/zqsim.log"
echo "zqdial32 ($arch) on display $DISPLAY; type zqsim commands here, Ctrl-C ends"
(cd "$work" && exec wine zqdial32.exe </dev/null >"$work/zqdial32.log" 2>&1) &
dialer=$!
if [ $headless -eq 1 ]; then
    if window=$(timeout 20 xdotool search --sync --name '^Velmora Dialer$' 2>/dev/null | head -n 1); then
        echo "window $window on :99; a look: import -display :99 -window root shot.png"
    fi
fi
status=0
wait "$dialer" || status=$?
dialer=""
echo "zqdial32 ended ($status)"
