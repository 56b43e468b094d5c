#!/usr/bin/env bash
# Runs scripts/deps --armhf against stand-in apt-get, dpkg-query, dpkg and
# id first on PATH (the real ones are never run, the machine is left as it
# is): an index update that fails and an install that the armhf indexes'
# skew breaks until it is given the machine's release with -t; every
# package present; an install that fails whatever is tried.
# Usage: deps_test.sh SCRIPTS_DIR
set -uo pipefail
deps=$1/deps
release=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
if [[ -z $release ]]; then
    echo "no VERSION_CODENAME in /etc/os-release: skipped"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/deps-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
stub() {
    printf '#!/usr/bin/env bash\n%s\n' "$2" >"$work/bin/$1"
    chmod +x "$work/bin/$1"
}
# Each stand-in notes its arguments; FAKE_INSTALLED=all makes every
# package present, otherwise only meson is; FAKE_TARGET is the only -t
# release the install accepts (none when empty).
stub id 'echo 0'
stub dpkg 'echo "dpkg $*" >>"$FAKE_CALLS"'
stub dpkg-query '[[ $FAKE_INSTALLED == all || ${*: -1} == meson ]] &&
    printf "ii "; exit 0'
stub apt-get 'echo "apt-get $*" >>"$FAKE_CALLS"
case " $* " in
*" update "*)
    echo "E: Failed to fetch http://deb.example/armhf/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
    exit 100 ;;
*" -t $FAKE_TARGET "*)
    [[ -n $FAKE_TARGET ]] && echo "Setting up libsystemd-dev:armhf" && exit 0 ;;
esac
echo " libsystemd0:armhf : Depends: liblzma5:armhf but it is not going to be installed"
echo "E: Unable to correct problems, you have held broken packages." >&2
exit 100'

failures=0
check() {
    if ! eval "$2"; then
        echo "FAILED: $1"
        echo "--- output:"
        cat "$work/out"
        echo "--- calls:"
        cat "$work/calls" 2>/dev/null
        failures=$((failures + 1))
    fi
}
run() {
    rm -f "$work/calls"
    PATH="$work/bin:$PATH" FAKE_CALLS="$work/calls" FAKE_INSTALLED=$1 \
        FAKE_TARGET=$2 "$deps" --armhf >"$work/out" 2>&1
    echo $? >"$work/status"
}
count() {
    grep -c -- "$1" "$2" || true
}

# The update fails, the plain install fails, the one with -t succeeds.
run some "$release"
check "the install with -t $release succeeds: exit 0" \
    '[[ $(cat "$work/status") -eq 0 ]]'
check "the missing packages are named in one line, meson not among them" \
    '[[ $(count "^installing [0-9]* packages: " "$work/out") -eq 1 &&
       $(count "^installing.* libsystemd-dev:armhf" "$work/out") -eq 1 &&
       $(count "^installing.* meson " "$work/out") -eq 0 ]]'
check "the update's error is shown once" \
    '[[ $(count "Mirror sync in progress" "$work/out") -eq 1 ]]'
check "armhf is added and the indexes updated once" \
    '[[ $(count "^dpkg --add-architecture armhf$" "$work/calls") -eq 1 &&
       $(count "^apt-get .* update" "$work/calls") -eq 1 ]]'
check "the install is retried once with -t $release and the same packages" \
    '[[ $(count "^apt-get .* install " "$work/calls") -eq 2 &&
       $(count "^apt-get .* install .*-t $release .*libsystemd-dev:armhf" \
           "$work/calls") -eq 1 ]]'

# Nothing missing: nothing said, apt left alone.
run all "$release"
check "nothing missing: exit 0, no output, no apt-get" \
    '[[ $(cat "$work/status") -eq 0 && ! -s $work/out && ! -e $work/calls ]]'

# No install succeeds: exit 1 with apt's own lines and the packages.
run some ""
check "every install fails: exit 1" '[[ $(cat "$work/status") -eq 1 ]]'
check "apt's own lines and the wanted packages are shown" \
    '[[ $(count "held broken packages" "$work/out") -ge 1 &&
       $(count "Depends: liblzma5:armhf" "$work/out") -ge 1 &&
       $(count "could not install: .*libsystemd-dev:armhf" "$work/out") -eq 1 ]]'

[[ $failures -eq 0 ]] && echo "all checks passed"
[[ $failures -eq 0 ]]
