#!/usr/bin/env bash
# make sanitize: both extension modules (varnelle and varnelle_np._ufuncs)
# built with AddressSanitizer and UndefinedBehaviorSanitizer, and the pytest
# suite run against them on every Python found (scripts/find-pythons.sh;
# PYTHON=/path/to/python pins one).
#
# The interpreter itself is not instrumented: the sanitizer runtime is
# preloaded into it, and PYTHONMALLOC=malloc sends every Python object through
# the instrumented malloc, so the module's reads and writes of objects, its
# own allocations and every allocation's fate are all seen. Reads that the
# interpreter makes on the module's behalf are not instrumented; a bad one
# shows as a crash, which fails the test concerned. The same holds for NumPy,
# pandas, Dask and xarray under the array tests: their own native code is not
# instrumented, but every block they allocate comes from the instrumented
# malloc, and the ufunc loops' reads and writes of their arrays are checked.
#
# Leaks are checked twice in every Python process, children included (see
# tests/sanitizer/sitecustomize.py): while the interpreter is still alive,
# with nothing allowed, and after shutdown, where only the interned strings
# the interpreter never frees are set aside (tests/sanitizer/check_reports.py
# says exactly which blocks). The run fails on any other report, on any test
# failure, and if the canary below is not caught.
#
# Left out of this run: test_packaging.py and test_readme.py (they examine the
# released wheel, which this build is not), test_ensure_deps.py and
# test_make_venv.py (shell scripts; no module code runs), test_typing.py (type
# checkers over the stubs; no module code runs) and test_examples.py (the
# example scripts and the native code of Matplotlib and Dask's distributed
# scheduler, which only they exercise); also test_leaks.py::test_resident_memory_flat, since resident
# memory under AddressSanitizer includes its quarantine of freed blocks.
# make test runs all of them.
source "$(dirname "$0")/prologue.sh"
make --no-print-directory "$tools/.ready" BUILD="$build"
pythons=$(scripts/find-pythons.sh)

source scripts/outside-wheel.sh
build_modules sanitize -DVARNELLE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

# The runtime of the compiler that built the module. libstdc++ is preloaded
# too: the interpreter does not link it, and the sanitizer must find it at
# start-up to intercept C++ exceptions.
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/sanitize/CMakeCache.txt")
asan=$("$compiler" -print-file-name=libasan.so)
stdcxx=$("$compiler" -print-file-name=libstdc++.so)
ubsan=$("$compiler" -print-file-name=libubsan.so)
for lib in "$asan" "$stdcxx" "$ubsan"; do
    [[ "$lib" == /* && -e "$lib" ]] || { echo "sanitize: $lib not found for $compiler" >&2; exit 1; }
done

# Full stacks (the slow unwinder) so that report frames can be told apart by
# function; errors abort at once; leaks are judged by check_reports.py rather
# than by the exit status, which child-process tests compare.
export ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=30:abort_on_error=1:exitcode=0:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1
# The generated calls of test_fuzz.py cost most under the sanitizer (the
# generator allocates heavily): 40 examples per function there, 150 in make test.
export VARNELLE_FUZZ_EXAMPLES=${VARNELLE_FUZZ_EXAMPLES:-40}
export LSAN_OPTIONS=report_objects=0:suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0

# Runs a command under the sanitizer with reports written to $1.
under_sanitizer() {
    local logs=$1
    shift
    mkdir -p "$logs"
    ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$logs/run" \
        VARNELLE_SANITIZE_LOGS="$logs" VARNELLE_SANITIZE_UBSAN="$ubsan" PYTHONMALLOC=malloc LD_PRELOAD="$asan $stdcxx" \
        PYTHONPATH="$root/tests/sanitizer:$module_dir:$package_dir" "$@"
}

failed=0
summary=()
for py in $pythons; do
    version=$(scripts/find-pythons.sh --version "$py")
    env=$build/venv-sanitize-$version
    # The array tests' containers: NumPy, pandas, dask.array and xarray, all
    # uninstrumented wheels that load and run under the preloaded runtime.
    scripts/make-venv.sh --reuse "$py" "$env" \
        "pytest>=8" "hypothesis>=6.100" "numpy>=1.25" "pandas>=2.1" "dask[array]>=2024.4" "xarray>=2024.1"
    logs=$root/$build/sanitize-logs/$version
    rm -rf "$logs"

    # The canary's faults must all be reported, or a clean run proves nothing.
    canary_logs=$logs-canary
    rm -rf "$canary_logs"
    for fault in leak use-after-free; do
        under_sanitizer "$canary_logs" "$env/bin/python" tests/sanitizer/canary.py $fault 2>/dev/null || true
    done
    canary=$("$env/bin/python" tests/sanitizer/check_reports.py "$canary_logs" "$root/src" || true)
    if ! grep -q "heap-use-after-free" <<<"$canary" || ! grep -q "^live.*leak of 4096 bytes" <<<"$canary" \
            || ! grep -q "^exit.*leak of .*PyUnicode_New" <<<"$canary"; then
        echo "sanitize: Python $version: the canary's faults were not all reported; reports:" >&2
        echo "$canary" >&2
        exit 1
    fi

    echo "== Python $version: pytest under AddressSanitizer and UndefinedBehaviorSanitizer ($py)"
    status=0
    under_sanitizer "$logs" "$env/bin/python" -m pytest -q -p no:cacheprovider tests \
        --ignore=tests/test_packaging.py --ignore=tests/test_typing.py --ignore=tests/test_examples.py \
        --ignore=tests/test_readme.py --ignore=tests/test_ensure_deps.py --ignore=tests/test_make_venv.py \
        --deselect=tests/test_leaks.py::test_resident_memory_flat "$@" || status=$?
    reports=0
    "$env/bin/python" tests/sanitizer/check_reports.py "$logs" "$root/src" || reports=$?
    if (( status != 0 || reports != 0 )); then
        failed=1
        summary+=("Python $version: FAILED (pytest status $status; reports in $logs)")
    else
        summary+=("Python $version: no sanitizer reports")
    fi
done

printf '%s\n' "${summary[@]}"
echo "sanitize: $((SECONDS - started)) s"
exit $failed
