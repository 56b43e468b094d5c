#!/usr/bin/env bash
# Installs the build into a staging root and checks every unit installed
# there: the naming scheme, BusName= for a dbus service, Restart=always with
# a RestartSec=, and `systemd-analyze verify` saying nothing. verify wants
# the programs named by ExecStart to exist, so each unit is checked as a
# copy whose ExecStart points into the staging root.
# Usage: test_units.sh BUILD_DIR UNIT_DIR UNIT...
set -uo pipefail
build=$1 unitdir=$2
shift 2

work=$(mktemp -d "${TMPDIR:-/tmp}/units-XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
if ! meson install -C "$build" --no-rebuild --destdir "$root" \
    >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    exit 1
fi

status=0
fail() {
    echo "$1: $2"
    status=1
}
mkdir -p "$work/check"
for name in "$@"; do
    unit=$root$unitdir/$name
    [[ -f $unit ]] || { fail "$name" "not installed in $unitdir"; continue; }
    [[ $name =~ ^xyz\.openbmc_project\.[a-z]+\.service$ ]] ||
        fail "$name" "not named xyz.openbmc_project.<daemon>.service"
    grep -qx 'Restart=always' "$unit" || fail "$name" "no Restart=always"
    grep -q '^RestartSec=' "$unit" || fail "$name" "no RestartSec="
    if grep -qx 'Type=dbus' "$unit"; then
        grep -q '^BusName=xyz\.openbmc_project\.' "$unit" ||
            fail "$name" "Type=dbus without BusName="
    fi
    exe=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
    [[ -x $root$exe ]] || fail "$name" "ExecStart $exe is not installed"
    sed "s|^ExecStart=/|ExecStart=$root/|" "$unit" >"$work/check/$name"
done
if [[ $status -eq 0 ]]; then
    out=$(cd "$work/check" && systemd-analyze verify --man=no ./*.service 2>&1)
    rc=$?
    if [[ $rc -ne 0 || -n $out ]]; then
        echo "systemd-analyze verify:"
        echo "$out"
        status=1
    fi
fi
[[ $status -eq 0 ]] && echo "$# units verified"
exit "$status"
