#!/usr/bin/env bash
# The library exports exactly the listed names: everything else is hidden.
# Usage: exports_check.sh LIBRARY EXPECTED_LIST
set -euo pipefail
library=$1
expected=$2

# Sanitizer builds add their own bookkeeping symbols, which are not part of
# the interface.
actual=$(nm -D --defined-only --format=posix "$library" | awk '{print $1}' |
    grep -vE '^(__odr_asan|__asan|__ubsan|__sanitizer)' | LC_ALL=C sort -u)
want=$(LC_ALL=C sort -u "$expected")

if [[ "$actual" != "$want" ]]; then
    echo "exported names differ from $expected (< missing, > extra):"
    diff <(echo "$want") <(echo "$actual") || true
    exit 1
fi
echo "$(wc -l <<<"$actual") names exported"

# Calls between the library's own functions are bound inside it: none goes
# through the procedure linkage table. The log tables stay shared data.
bound=$(readelf -rW "$library" | awk '/JUMP_SLOT/ {sub(/@.*/, "", $5); print $5}' |
    LC_ALL=C sort -u | LC_ALL=C comm -12 - <(echo "$want"))
if [[ -n $bound ]]; then
    echo "called through the PLT: $bound"
    exit 1
fi

if ! readelf -d "$library" | grep -q 'SONAME.*libkn\.so\.1'; then
    echo "no soname libkn.so.1"
    exit 1
fi
