#!/usr/bin/env bash
# Makes sure the Debian packages that a make target needs are installed:
#
#   scripts/ensure-deps.sh TARGET...
#
# Everything else the targets use (CMake, Ninja, build, auditwheel, pytest,
# ...) comes from PyPI into build/; these few are the exceptions, because
# CMake finds them as system libraries. A machine that has them pays one
# dpkg-query. When some are missing and this runs as root or with
# password-less sudo, and apt-get exists, they are installed with a one-line
# notice; otherwise the script stops with the command to run. Without dpkg
# (not Debian) it cannot tell, and leaves the report to the build.
#
# To try the other paths on a machine that has everything:
#   VARNELLE_DEPS_MISSING="pkg ..."   treat these packages as not installed
#                                     ("all": every package asked for)
#   VARNELLE_APT_GET=path             the apt-get to run; empty: there is none
# and root or sudo are recognised through `id -u` and `sudo -n` on PATH.
set -euo pipefail

# The packages each target needs. The sanitizer runtimes that `make sanitize`
# preloads and `make sanitize-cpp` links (libasan, libubsan) come with
# Debian's g++ itself, so `sanitize` needs nothing more.
declare -A needs=(
    [test-cpp]="libgtest-dev nlohmann-json3-dev"
    [sanitize-cpp]="libgtest-dev nlohmann-json3-dev"
    [bench-cpp]="libbenchmark-dev"
    [bench-callgrind]="libbenchmark-dev valgrind"
)

if (( $# == 0 )); then
    echo "usage: scripts/ensure-deps.sh TARGET... (one of: ${!needs[*]})" >&2
    exit 2
fi
wanted=()
for target in "$@"; do
    if [[ ! -v "needs[$target]" ]]; then
        echo "ensure-deps: no packages are known for '$target' (known: ${!needs[*]})" >&2
        exit 2
    fi
    for package in ${needs[$target]}; do
        [[ " ${wanted[*]} " == *" $package "* ]] || wanted+=("$package")
    done
done
(( ${#wanted[@]} )) || exit 0

command -v dpkg-query >/dev/null 2>&1 || [[ -n "${VARNELLE_DEPS_MISSING:-}" ]] || exit 0
# One query for all of them; a package dpkg has never heard of prints nothing.
installed=" "
while IFS='|' read -r status package; do
    [[ "$status" == ii* ]] && installed+="$package "
done < <(dpkg-query -W -f='${db:Status-Abbrev}|${Package}\n' "${wanted[@]}" 2>/dev/null || true)
simulated=" ${VARNELLE_DEPS_MISSING:-} "
missing=()
for package in "${wanted[@]}"; do
    if [[ "$simulated" == " all " || "$simulated" == *" $package "* || "$installed" != *" $package "* ]]; then
        missing+=("$package")
    fi
done
(( ${#missing[@]} )) || exit 0

what="$* needs ${missing[*]}"
apt_get=${VARNELLE_APT_GET-apt-get}
if [[ -z "$apt_get" ]] || ! command -v "$apt_get" >/dev/null 2>&1; then
    echo "ensure-deps: $what (Debian's names), and there is no apt-get here:" \
         "install them with this system's package manager" >&2
    exit 1
fi

if [[ "$(id -u)" == 0 ]]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    as_root=(sudo)
else
    echo "ensure-deps: $what; install them with:" >&2
    if command -v sudo >/dev/null 2>&1; then
        echo "    sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    else
        echo "    su -c 'apt-get update && apt-get install -y ${missing[*]}'" >&2
    fi
    exit 1
fi

echo "ensure-deps: installing ${missing[*]} (for $*) with apt-get"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
export DEBIAN_FRONTEND=noninteractive
# Another apt-get running on the machine holds the lock; wait for it instead of failing.
wait_lock=(-o DPkg::Lock::Timeout=600)
if ! "${as_root[@]}" "$apt_get" "${wait_lock[@]}" -qq update >"$log" 2>&1 \
        || ! "${as_root[@]}" "$apt_get" "${wait_lock[@]}" -y -qq --no-install-recommends install \
            "${missing[@]}" >>"$log" 2>&1; then
    cat "$log" >&2
    echo "ensure-deps: apt-get could not install ${missing[*]}" >&2
    exit 1
fi
