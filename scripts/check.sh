#!/usr/bin/env bash
# make check: the everyday loop. One incremental CMake build (build/check)
# makes both extension modules and the C++ tests; the C++ tests run, then the
# fast part of the pytest suite against the modules laid out as the wheel
# lays them out (scripts/outside-wheel.sh), in one environment of the first
# Python found (build/venv-check, kept from run to run; PYTHON= pins the
# interpreter). After the first run only what changed is compiled, and
# nothing is installed.
#
#   scripts/check.sh             C++ tests, then Python tests
#   scripts/check.sh --cpp       C++ tests only (make check-cpp)
#   scripts/check.sh ARG...      the same with these pytest arguments too
#                                (make check PYTEST_ARGS='-k am_price')
#
# Left out, and run by make test: the tests of the released wheel, its stubs
# and the examples (test_packaging.py, test_readme.py, test_typing.py,
# test_examples.py), which need the installed distribution, the type checkers
# or the examples' packages, and take most of make test's time. The leak,
# stress and thread tests run at make test's sizes; the fuzz tests, a third of
# this run at make test's 150 generated calls per function, make 40 as under
# make sanitize.
source "$(dirname "$0")/prologue.sh"
cpp_only=false
if [[ "${1:-}" == --cpp ]]; then
    cpp_only=true
    shift
fi

make --no-print-directory "$tools/.ready" deps-test-cpp BUILD="$build"
source scripts/outside-wheel.sh
build_modules check -DVARNELLE_BUILD_TESTS=ON
# One process for the whole GoogleTest suite: CTest would start one per test.
"$build/check/tests/cpp/pricing_tests" --gtest_brief=1
$cpp_only && { echo "check-cpp: $((SECONDS - started)) s"; exit 0; }

py=$(scripts/find-pythons.sh | head -n 1)
env=$build/venv-check
scripts/make-venv.sh --reuse "$py" "$env" \
    "pytest>=8" "hypothesis>=6.100" "numpy>=1.25" "pandas>=2.1" "dask[array,dataframe]>=2024.4" "xarray>=2024.1"

# Files named in the arguments run even when left out here.
VARNELLE_FUZZ_EXAMPLES=${VARNELLE_FUZZ_EXAMPLES:-40} PYTHONPATH="$module_dir:$package_dir" \
    "$env/bin/python" -m pytest -q --ignore=tests/test_packaging.py --ignore=tests/test_readme.py \
    --ignore=tests/test_typing.py --ignore=tests/test_examples.py "$@"
echo "check: $((SECONDS - started)) s"
