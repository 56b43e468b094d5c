#!/usr/bin/env bash
# Runs scripts/deps --armhf against stand-in apt-get, dpkg-query, dpkg and
# id first on PATH (the real ones are never run): an index update that
# fails and an install that succeeds only with -t and the machine's
# release; every package present; no install that succeeds.
# Usage: deps_test.sh SCRIPTS_DIR
set -uo pipefail
deps=$1/deps
release=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
[[ -n $release ]] || { echo "no VERSION_CODENAME: skipped"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/deps-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
stub() {
    printf '#!/usr/bin/env bash\n%s\n' "$2" >"$work/bin/$1"
    chmod +x "$work/bin/$1"
}
# Only meson is installed unless FAKE_INSTALLED=all; the install accepts
# only -t FAKE_TARGET (nothing when it is empty).
stub id 'echo 0'
stub dpkg 'echo "dpkg $*" >>"$FAKE_CALLS"'
stub dpkg-query '[[ $FAKE_INSTALLED == all || ${*: -1} == meson ]] &&
    printf "ii "; exit 0'
stub apt-get 'echo "apt-get $*" >>"$FAKE_CALLS"
case " $* " in
*" update "*) echo "E: Failed to fetch Packages.xz  File has unexpected size" \
    "(1 != 2). Mirror sync in progress?" >&2; exit 100 ;;
*" -t $FAKE_TARGET "*) [[ -n $FAKE_TARGET ]] && exit 0 ;;
esac
echo " libsystemd0:armhf : Depends: liblzma5:armhf but it is not going to be installed"
echo "E: Unable to correct problems, you have held broken packages." >&2
exit 100'

failures=0
run() {
    rm -f "$work/calls"
    PATH="$work/bin:$PATH" FAKE_CALLS="$work/calls" FAKE_INSTALLED=$1 \
        FAKE_TARGET=$2 "$deps" --armhf >"$work/out" 2>&1
    status=$?
}
check() {
    eval "$2" && return
    echo "FAILED: $1"
    cat "$work/out" "$work/calls" 2>/dev/null
    failures=$((failures + 1))
}
lines() { grep -c -- "$1" "$work/${2:-out}"; }

run some "$release"
check "the install with -t $release: exit 0" '[[ $status -eq 0 ]]'
check "one line names the missing packages, not meson" \
    '[[ $(lines "^installing [0-9]* packages: .*libsystemd-dev:armhf") -eq 1 &&
       $(lines "^installing.* meson ") -eq 0 ]]'
check "the update's error once, armhf added, one update" \
    '[[ $(lines "Mirror sync") -eq 1 && $(lines "^apt-get .* update" calls) -eq 1 &&
       $(lines "^dpkg --add-architecture armhf$" calls) -eq 1 ]]'
check "the install retried once, with -t $release and the same packages" \
    '[[ $(lines "^apt-get .* install " calls) -eq 2 &&
       $(lines "install .*-t $release .*libsystemd-dev:armhf" calls) -eq 1 ]]'

run all "$release"
check "nothing missing: exit 0, nothing said, no apt-get" \
    '[[ $status -eq 0 && ! -s $work/out && ! -e $work/calls ]]'

run some ""
check "no install succeeds: exit 1, apt's lines and the packages" \
    '[[ $status -eq 1 && $(lines "held broken packages") -ge 1 &&
       $(lines "Depends: liblzma5:armhf") -ge 1 &&
       $(lines "could not install: .*libsystemd-dev:armhf") -eq 1 ]]'
[[ $failures -eq 0 ]]
