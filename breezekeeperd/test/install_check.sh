#!/usr/bin/env bash
# Installs the fan daemon's files into a staging folder and checks that the
# folder of the power-cap flag file is among them.
# Usage: install_check.sh BUILD_DIR
set -euo pipefail
build=$1

work=$(mktemp -d "${TMPDIR:-/tmp}/breezekeeperd-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root

if ! meson install -C "$build" --no-rebuild --destdir "$root" \
    --tags breezekeeperd >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    exit 1
fi
if [[ ! -d $root/usr/share/breezekeeper ]]; then
    echo "usr/share/breezekeeper is not installed; installed:"
    find "$root"
    exit 1
fi
echo "usr/share/breezekeeper installed"
