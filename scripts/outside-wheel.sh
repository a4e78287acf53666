# Sourced by the scripts that test the extension modules outside a wheel
# (check.sh, sanitize.sh, stress.sh), after scripts/prologue.sh, which sets
# $root, $build and $tools.
#
# build_modules DIR CMAKE-ARGS... builds both modules into $build/DIR and lays
# them out as the wheel does; afterwards $module_dir holds varnelle*.so and
# $package_dir an importable varnelle_np. The scripts' test environments come
# from scripts/make-venv.sh --reuse.

build_modules() {
    local dir=$1
    shift
    # One build serves every version: the modules use the stable ABI of 3.12.
    # The tools environment is a 3.12 venv of the primary Python that has
    # NumPy 2, whose headers the array module is compiled against.
    "$tools/bin/cmake" -S . -B "$build/$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$root/$tools/bin/ninja" \
        -DPython_EXECUTABLE="$root/$tools/bin/python" -DVARNELLE_WERROR="${WERROR:-OFF}" "$@" >/dev/null
    "$tools/bin/cmake" --build "$build/$dir"
    module_dir=$root/$build/$dir/src

    # varnelle_np as the wheel lays it out: the Python layer with the
    # compiled _ufuncs and the functions written from the table beside it. Copied afresh, so a file removed from
    # python/ is gone here too.
    package_dir=$root/$build/$dir/packages
    rm -rf "$package_dir"
    mkdir -p "$package_dir"
    cp -r python/varnelle_np "$package_dir/"
    cp "$module_dir"/varnelle_np/_ufuncs*.so "$module_dir"/varnelle_np/_functions.py "$package_dir/varnelle_np/"
}
