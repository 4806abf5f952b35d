#!/usr/bin/env bash
# The provider DLL must export every TSPI entry point that the provider
# defines, by its undecorated name. Usage: check-exports.sh BUILD_DIR OBJDUMP
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1 objdump=$2
dll=$build/provider/zq_6232.tsp

defined=$(grep -rhoE '^LONG WINAPI (TSPI|TUISPI)_[A-Za-z]+' provider | awk '{print $3}' | sort -u)
listed=$(awk '/^EXPORTS/{on=1; next} on && NF {print $1}' provider/zq_6232.def | sort -u)
exported=$("$objdump" -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF} on && /^$/{on=0}' | sort -u)

status=0
if [ "$defined" != "$listed" ]; then
    echo "zq_6232.def does not list exactly the entry points the provider defines:"
    diff <(echo "$defined") <(echo "$listed") || true
    status=1
fi
if [ "$defined" != "$exported" ]; then
    echo "$dll does not export exactly the provider's entry points, undecorated:"
    diff <(echo "$defined") <(echo "$exported") || true
    status=1
fi
[ $status -eq 0 ] && echo "$dll: $(echo "$exported" | wc -l) entry points exported, undecorated"
exit $status
