#!/usr/bin/env bash
# The Windows installer under Wine, silent:
#  - it installs the provider into the system folder and the dialer into
#    Program Files, and registers the provider in the Telephony list that
#    the project's tapi32.dll reads, once, even when run twice;
#  - the installed dialer, from its Start-menu folder's target, then finds
#    its line against the simulated set with no other set-up;
#  - the uninstaller takes the provider out of the list and the files
#    away, and leaves the settings.
#   tests/wine/installer.sh REPO ARCH ZQSIM
set -euo pipefail
repo=$(cd "$1" && pwd)
arch=$2
zqsim=$3
. "$repo/tests/wine/dialer_lib.sh" zqinstaller

version=$(sed -n 's/^project(zq6232 VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
setup="$build/installer/zq6232-$version-$arch-setup.exe"
[ -f "$setup" ] || {
    echo "FAIL: $setup is missing"
    exit 1
}
cp "$setup" "$work/setup.exe"

if [ "$arch" = x86_64 ]; then
    programs='C:\Program Files\Velmora\ZQ 6232'
    system="$WINEPREFIX/drive_c/windows/system32"
else
    programs='C:\Program Files (x86)\Velmora\ZQ 6232'
    system="$WINEPREFIX/drive_c/windows/syswow64"
fi
installed=$(winepath -u "$programs" 2>/dev/null)
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZQ6232'

# The files of the provider in the list; one line each.
listed() {
    reg query "$providers" "$view" | awk '$1 ~ /^ProviderFileName/ {print $3}' | grep -ix 'zq_6232.tsp' || true
}

# No provider, no port and no earlier install: the installer's /PORT is used.
reg delete "$providers" /f "$view" >/dev/null || true
reg delete "$provider_key" /v Port /f "$view" >/dev/null || true
reg delete "$uninstall_key" /f "$view" >/dev/null || true
reg delete "$settings" /f >/dev/null || true

step="install"
started=$SECONDS
for run in 1 2; do
    (cd "$work" && timeout 120 wine setup.exe /S /PORT=COM1 </dev/null >>"$work/setup.log" 2>&1) ||
        fail "run $run of the installer ended with $?"
    count=$(listed | wc -l)
    [ "$count" = 1 ] || fail "after run $run the provider is listed $count times"
done
info_port=$(reg query "$provider_key" /v Port "$view" | awk '$1 == "Port" {print $3}')
[ "$info_port" = COM1 ] || fail "the provider's port is \"$info_port\", not COM1"
for file in "$system/zq_6232.tsp" "$system/zq_spi.html" "$installed/zqdial32.exe" "$installed/zqdial32.html" \
    "$installed/zqinstall.exe" "$installed/tapi32.dll" "$installed/uninstall.exe" \
    "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Velmora/Velmora Dialer.lnk"; do
    [ -e "$file" ] || fail "not installed: $file"
done
reg query "$uninstall_key" /v QuietUninstallString "$view" | grep -q 'uninstall.exe" /S' ||
    fail "no quiet uninstall in Programs and Features"
# The grant to the Telephony service's account, read back. Wine keeps a
# registry key's DACL (while its server runs) but none given to a file; the
# files go through the same merge of the DACL as the key.
granted=$(cd "$installed" && wine zqinstall.exe grant </dev/null 2>&1 | tr -d '\r') || fail "zqinstall grant failed"
echo "$granted"
grep -q 'TSpi_6200 (read back: present)' <<<"$granted" || fail "NetworkService is not in the provider key's DACL"

step="dialer"
zq_start_sim "$repo/sim/sets/default.set" "$work/zqsim.log" --seconds 120 || {
    echo "zqsim did not start: $slave"
    exit 1
}
dialer_exe="$programs\\zqdial32.exe"
start_dialer
first_run 18 || true
wait_line 30 || fail "the installed dialer did not find its line in service"
shot installed
exit_dialer || true

step="uninstall"
(cd "$work" && wine "$programs\\uninstall.exe" /S </dev/null >>"$work/setup.log" 2>&1) || fail "the uninstaller ended with $?"
# The uninstaller runs from a copy of itself, after this one ends.
for _ in $(seq 150); do
    [ -e "$installed/zqdial32.exe" ] || [ -e "$system/zq_6232.tsp" ] || break
    sleep 0.2
done
sleep 1
[ "$(listed | wc -l)" = 0 ] || fail "the provider is still listed"
for file in "$system/zq_6232.tsp" "$installed/zqdial32.exe" "$installed/tapi32.dll"; do
    [ -e "$file" ] && fail "not removed: $file"
done
reg query "$uninstall_key" "$view" | grep -q QuietUninstallString && fail "still in Programs and Features"
[ "$(reg query "$provider_key" /v Port "$view" | awk '$1 == "Port" {print $3}')" = COM1 ] ||
    fail "the provider's settings were removed"

echo "== installer $arch: $((SECONDS - started)) s"
if [ $status -ne 0 ]; then
    echo "---- setup"
    tr -d '\r' <"$work/setup.log" | tail -n 20
    echo "---- zqsim"
    tail -n 20 "$work/zqsim.log"
fi
exit $status
