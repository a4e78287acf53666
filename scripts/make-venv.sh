#!/usr/bin/env bash
# Makes a virtual environment for a make target or a script; every
# environment under build/ is made here:
#
#   scripts/make-venv.sh [--reuse] PYTHON DIR [PIP-ARGUMENT...]
#
# DIR becomes a new environment of PYTHON with a current pip and
# PIP-ARGUMENT... installed (requirements, wheel paths with extras, local
# projects). Whatever DIR held before is removed first, so a test never runs
# against what an earlier run left.
#
# --reuse keeps DIR when this script made it, completely, from the same
# interpreter and the same arguments; anything else (another list, another
# interpreter, an install that stopped half-way, an interpreter that no longer
# starts) is made anew. It serves the quick loops, where reinstalling the same
# packages each time would cost more than the test run. A wheel whose name
# stays while its contents change is not noticed: install those without it.
set -euo pipefail

reuse=false
if [[ "${1:-}" == --reuse ]]; then
    reuse=true
    shift
fi
if (( $# < 2 )); then
    echo "usage: scripts/make-venv.sh [--reuse] PYTHON DIR [PIP-ARGUMENT...]" >&2
    exit 2
fi
python=$1 dir=$2
shift 2

# What the environment was made from; written last, so its presence says the
# install finished.
stamp=$dir/.made-from
wanted=$(printf '%s\n' "$(command -v "$python" || echo "$python")" "$@")
if $reuse && [[ -f "$stamp" && "$(<"$stamp")" == "$wanted" ]] && "$dir/bin/python" -c '' 2>/dev/null; then
    exit 0
fi

rm -rf "$dir"
"$python" -m venv "$dir"
# The pip that comes with the interpreter can be years old; a current one
# resolves the requirements the way the CI machine's does.
"$dir/bin/python" -m pip install -q --upgrade pip
if (( $# )); then
    "$dir/bin/python" -m pip install -q "$@"
fi
printf '%s\n' "$wanted" >"$stamp"
