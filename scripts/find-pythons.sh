#!/usr/bin/env bash
# Lists the Python interpreters (3.12 or newer) this machine offers, one per
# minor version, oldest first, as absolute paths. PYTHON=/path/to/python
# overrides the search and is the only interpreter listed.
#
#   scripts/find-pythons.sh --version PY   prints PY's version as 3.12, the
#                                          name the targets give its venvs
set -euo pipefail

min_ok='import sys, venv, ensurepip; sys.exit(0 if sys.version_info >= (3, 12) else 1)'
minor='import sys; print("%d.%d" % sys.version_info[:2])'

if [[ "${1:-}" == --version ]]; then
    (( $# == 2 )) || { echo "usage: scripts/find-pythons.sh [--version PY]" >&2; exit 2; }
    exec "$2" -c "$minor"
fi

if [[ -n "${PYTHON:-}" ]]; then
    py=$(command -v "$PYTHON" || true)
    if [[ -z "$py" ]] || ! "$py" -c "$min_ok" 2>/dev/null; then
        echo "find-pythons: PYTHON=$PYTHON is not a Python >= 3.12 with venv" >&2
        exit 1
    fi
    echo "$py"
    exit 0
fi

candidates=()
for name in python3.12 python3.13 python3.14 python3.15 python3; do
    if p=$(command -v "$name" 2>/dev/null); then candidates+=("$p"); fi
done
# pyenv keeps interpreters out of PATH until selected; look in its tree directly.
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
if command -v pyenv >/dev/null 2>&1; then pyenv_root=$(pyenv root); fi
for p in "$pyenv_root"/versions/3.1[2-9]*/bin/python3 /usr/local/bin/python3.1[2-9] /usr/bin/python3.1[2-9]; do
    [[ -x "$p" ]] && candidates+=("$p")
done

declare -A seen=()
found=()
for p in "${candidates[@]}"; do
    # A pyenv shim answers for whichever version is selected; skip shims that fail.
    if "$p" -c "$min_ok" >/dev/null 2>&1; then
        v=$("$p" -c "$minor")
        if [[ -z "${seen[$v]:-}" ]]; then
            seen[$v]=1
            found+=("$v $p")
        fi
    fi
done

if [[ ${#found[@]} -eq 0 ]]; then
    echo "find-pythons: no Python >= 3.12 found; install one or set PYTHON=/path/to/python3.12" >&2
    exit 1
fi
printf '%s\n' "${found[@]}" | sort -V | cut -d' ' -f2-
