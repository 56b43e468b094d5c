#!/usr/bin/env bash
# Installs the library into a private folder, then builds an outside C
# program against the installed headers through pkg-config and runs it.
# Usage: install_check.sh BUILD_DIR PREFIX LIBDIR SANITIZE CC PROGRAM.c
set -euo pipefail
build=$1 prefix=$2 libdir=$3 sanitize=$4 cc=$5 program=$6

work=$(mktemp -d "${TMPDIR:-/tmp}/libkn-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root

if ! meson install -C "$build" --no-rebuild --destdir "$root" \
    --tags libkn,devel >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    exit 1
fi

installed=$root$prefix
[[ $libdir == /* ]] || libdir=$prefix/$libdir
libpath=$root$libdir
# The installed entry first, then the system's for what it requires.
system_pc=$(pkg-config --variable pc_path pkg-config)
export PKG_CONFIG_PATH=$libpath/pkgconfig
export PKG_CONFIG_LIBDIR=$libpath/pkgconfig:$system_pc
pc=(pkg-config --define-variable=prefix="$installed")
cflags=$("${pc[@]}" --cflags libkn)
libs=$("${pc[@]}" --libs libkn)
echo "cflags: $cflags"
echo "libs: $libs"

extra=()
if [[ $sanitize != none && -n $sanitize ]]; then
    extra+=("-fsanitize=$sanitize")
fi

# Each header compiles as C on its own.
for header in "$installed"/include/libkn/*.h; do
    name=$(basename "$header")
    printf '#include <libkn/%s>\ntypedef int header_check;\n' "$name" |
        $cc -std=c11 -Wall -Wextra -Wpedantic -Werror -fsyntax-only \
            $cflags -x c - || { echo "header $name does not compile alone"; exit 1; }
done

$cc -std=c11 -Wall -Wextra -Werror "${extra[@]}" "$program" $cflags $libs \
    -o "$work/outside"
objdump -p "$work/outside" | grep -q 'NEEDED.*libkn\.so\.1' ||
    { echo "the program does not need libkn.so.1"; exit 1; }
# In a cross build it runs under the emulator that runs the tests.
# shellcheck disable=SC2086
LD_LIBRARY_PATH=$libpath TMPDIR=$work ${MESON_EXE_WRAPPER:-} "$work/outside"
echo "outside program built and ran against $installed"
