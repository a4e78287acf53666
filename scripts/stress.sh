#!/usr/bin/env bash
# make stress: the long versions of the leak, thread and fuzz tests, against
# an optimised build of the module, on every Python found
# (scripts/find-pythons.sh; PYTHON=/path/to/python pins one). make test runs
# the same tests at their short sizes. Extra arguments go to pytest.
#
#   ten million mixed calls      VARNELLE_STRESS_CALLS   (make test: one million)
#   100 rounds of eight threads  VARNELLE_THREAD_ROUNDS  (make test: 10)
#   1500 examples per function   VARNELLE_FUZZ_EXAMPLES  (make test: 150)
#   implied-volatility round trips of a million European and 300,000
#   American rows in the C++ tests, and of a million European and 100,000
#   American rows through varnelle_np (VARNELLE_STRESS=1)
source "$(dirname "$0")/prologue.sh"
make --no-print-directory "$tools/.ready" BUILD="$build"
VARNELLE_STRESS=1 make --no-print-directory test-cpp BUILD="$build"
pythons=$(scripts/find-pythons.sh)

source scripts/outside-wheel.sh
build_modules stress -DCMAKE_BUILD_TYPE=Release

export VARNELLE_STRESS_CALLS=${VARNELLE_STRESS_CALLS:-10000000}
export VARNELLE_THREAD_ROUNDS=${VARNELLE_THREAD_ROUNDS:-100}
export VARNELLE_FUZZ_EXAMPLES=${VARNELLE_FUZZ_EXAMPLES:-1500}

for py in $pythons; do
    version=$(scripts/find-pythons.sh --version "$py")
    env=$build/venv-stress-$version
    scripts/make-venv.sh --reuse "$py" "$env" "pytest>=8" "hypothesis>=6.100" "numpy>=1.25"
    echo "== Python $version: stress ($py)"
    # -s shows the figures each test prints (calls made, memory, examples).
    PYTHONPATH="$module_dir:$package_dir" VARNELLE_STRESS=1 "$env/bin/python" -m pytest -q -s -p no:cacheprovider \
        tests/test_stress.py tests/test_threads.py tests/test_fuzz.py tests/test_leaks.py tests/test_implied_vol.py \
        tests/test_lanes.py::test_long_run_of_random_rows_on_every_lane_path "$@"
done
echo "stress: $((SECONDS - started)) s"
