#!/usr/bin/env bash
# The library's families build on one another in this order, each one on
# those before it only: no source includes the header of a later family,
# and no object file refers to a name that a later family's object defines.
# Usage: families_check.sh SOURCE_DIR LIBRARY
#   SOURCE_DIR: libkn/src; LIBRARY: the built library, whose objects are in
#   the build's LIBRARY.p folder.
set -euo pipefail
src=$1
objects=$2.p

families=(core store hw fru sel notify access)

# The family of each public header.
declare -A header_family=(
    [kn_export]=core [log]=core [misc]=core
    [conf]=store [json]=store [lock]=store [mkfifo]=store [shm]=store
    [back-plane-mgt]=hw [cpld-rw-reg]=hw [eeprom]=hw [gpio]=hw [i2c]=hw
    [smbus]=hw
    [fru]=fru
    [sel]=sel [sel-parse]=sel
    [mail]=notify [redfish]=notify [snmp]=notify
    [common]=access [net]=access
)

declare -A rank
for i in "${!families[@]}"; do
    rank[${families[$i]}]=$i
done

status=0
fail() {
    echo "$*"
    status=1
}

# Includes: the library's headers as "libkn/NAME.h", the private ones as
# "FAMILY/NAME.hpp".
for dir in "$src"/*/; do
    family=$(basename "$dir")
    [[ -n ${rank[$family]:-} ]] || { fail "$dir: no such family"; continue; }
    while IFS=: read -r file line include; do
        include=${include#*\"}
        include=${include%\"*}
        case $include in
            libkn/*.h)
                name=${include#libkn/}
                name=${name%.h}
                used=${header_family[$name]:-}
                [[ -n $used ]] ||
                    { fail "$file:$line: $include has no family here"; continue; }
                ;;
            */*) used=${include%%/*} ;;
            *)
                fail "$file:$line: \"$include\" names no family"
                continue
                ;;
        esac
        if [[ -z ${rank[$used]:-} ]]; then
            fail "$file:$line: \"$include\" names no family"
        elif ((rank[$used] > rank[$family])); then
            fail "$file:$line: $family includes $include of the later family $used"
        fi
    done < <(grep -Hn '^#include "' "$dir"*.cpp "$dir"*.hpp 2>/dev/null || true)
done

# Calls and data: the object of src/FAMILY/FILE.cpp is
# src_FAMILY_FILE.cpp.o. Weak definitions (inline functions and templates
# that several objects carry) belong to no family.
[[ -d $objects ]] || { echo "no objects in $objects"; exit 1; }
list=()
for file in "$src"/*/*.cpp; do
    relative=${file#"$src"/}
    object=$objects/src_${relative//\//_}.o
    [[ -f $object ]] || { fail "$object: not built"; continue; }
    list+=("$object")
done
((${#list[@]} > 0)) || { echo "no objects in $objects"; exit 1; }
family_of() {
    sed -E 's@.*/(src_([^_]+)_[^:]*):@\2 \1 @'
}
ranks=$(for family in "${families[@]}"; do echo "$family ${rank[$family]}"; done)
found=$(awk '
    FNR == 1 { part++ }
    part == 1 { rank[$1] = $2; next }
    part == 2 { if ($4 ~ /^[TDBRGS]$/) owner[$3] = $1; next }
    ($3 in owner) && rank[owner[$3]] > rank[$1] {
        printf "%s (%s) uses %s of the later family %s\n", $2, $1, $3,
            owner[$3]
    }' <(echo "$ranks") \
    <(nm -A --defined-only --format=posix "${list[@]}" | family_of) \
    <(nm -A --undefined-only --format=posix "${list[@]}" | family_of) |
    LC_ALL=C sort -u)
[[ -z $found ]] || fail "$found"

((status == 0)) &&
    echo "${#list[@]} objects in ${#families[@]} families, each using earlier ones only"
exit $status
