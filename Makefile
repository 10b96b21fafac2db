# The few commands people use. `make test` sets up what the tests need on a
# fresh machine and runs every test suite of the project.
PYTHON ?= python3
JOBS ?= $(shell nproc)
CMAKE_FLAGS := -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_WERROR=ON

.PHONY: bench bench-cytometry test test-thorough test-cpp test-cpp-native test-python \
	demo python-install system-deps clean test-sanitize

# Three builds of the engine, each catching what the others cannot: the
# C++ tests at the flags we ship, the package as pip builds it (the Python
# suites), and one sanitized build of both the C++ tests and the modules.
# `make test` runs a light share of the random cases (TEST_SCALE);
# `make test-thorough` runs all of them and adds the -march=native build.
test: test-cpp test-python test-sanitize

test-thorough:
	$(MAKE) test test-cpp-native TEST_SCALE=1 HYPOTHESIS_SCALE=1 LEAK_CALLS=

system-deps:
	@PYTHON=$(PYTHON) tools/install-system-deps.sh

# The share of the random cases of the C++ tests, of the Hypothesis
# examples and the leak loops' calls that `make test` runs (all: 1).
TEST_SCALE ?= 0.25
HYPOTHESIS_SCALE ?= 0.5
LEAK_CALLS ?= 400

# One C++ test suite: configure build/cpp-$(1) with extra CMake flags $(2),
# build it and run ctest.
define cpp_suite
	cmake -S . -B build/cpp-$(1) $(CMAKE_FLAGS) $(2) >/dev/null
	cmake --build build/cpp-$(1) -j $(JOBS)
	QUORVEL_TEST_SCALE=$(TEST_SCALE) ctest --test-dir build/cpp-$(1) \
		--output-on-failure -j $(JOBS)
endef

# The C++ tests with the default flags; test-thorough also tunes them for
# this machine (-O3 -march=native): both builds must give the same bits.
test-cpp: system-deps
	$(call cpp_suite,default,)

test-cpp-native: system-deps
	$(call cpp_suite,native,-DCMAKE_CXX_FLAGS="-O3 -march=native")

# The Python side lives in a local virtual environment, .venv: made once,
# then each target installs what it needs and builds the package into it
# (pip install ., through scikit-build-core and the CMake build).
VENV := .venv
VENV_PYTHON := $(VENV)/bin/python
PIP := $(VENV_PYTHON) -m pip --disable-pip-version-check --quiet

$(VENV_PYTHON):
	$(PYTHON) -m venv $(VENV)

# The test tools, the package's dependencies and its extras (pictures,
# Parquet, Dask, cytometry files), and nanobind and scikit-build-core for the
# CMake build of the sanitizer pass.
TEST_PACKAGES := numpy scipy scikit-learn tqdm pandas pytest hypothesis \
	matplotlib networkx pyarrow "dask[array,dataframe]" distributed zarr \
	flowio nanobind scikit-build-core

python-install: system-deps $(VENV_PYTHON)
	$(PIP) install $(TEST_PACKAGES)
	$(PIP) install .

# Passive waiting keeps idle OpenMP threads from spinning between the many
# small training calls of the tests, which matters on a machine of 2 cores.
# The package's tests run in a process of their own: their clusters, threads
# and progress bars must not disturb the object counts of the leak tests of
# _quorvel_wrap.
PACKAGE_TESTS := tests/package

PYTEST_ENV := OMP_WAIT_POLICY=PASSIVE QUORVEL_HYPOTHESIS_SCALE=$(HYPOTHESIS_SCALE) \
	$(if $(LEAK_CALLS),QUORVEL_LEAK_CALLS=$(LEAK_CALLS))
PYTEST := $(VENV_PYTHON) -m pytest --durations=20

# The package's leak tests watch the whole process's allocator too: they run
# in a process of their own, after the others, whose in-process command
# lines, clusters and caches keep allocating.
PACKAGE_LEAKS := $(PACKAGE_TESTS)/test_som_leaks.py

test-python: python-install
	$(PYTEST_ENV) $(PYTEST) --ignore=$(PACKAGE_TESTS)
	$(PYTEST_ENV) $(PYTEST) $(PACKAGE_TESTS) --ignore=$(PACKAGE_LEAKS)
	$(PYTEST_ENV) $(PYTEST) $(PACKAGE_LEAKS)

# The sanitizer pass: one build (build/sanitize) of the C++ tests and of
# both modules with AddressSanitizer and UBSan; the Python tests run
# against those modules, whose runtimes must be loaded before the
# interpreter's own libraries. The interpreter's allocations go through
# malloc so that AddressSanitizer watches Python objects too; the
# interpreter's own leaks at exit are not ours, so leak detection is off,
# but any UBSan or ASan report ends the run. Everything runs ten times
# slower here, so the pass takes a tenth of the random cases and examples;
# the tests that exercise Python around the engine calls that the other
# tests run stay out: Dask's scheduling, the pictures, the command line's
# subprocesses and the thread counts of subprocess fits.
SANITIZE_BUILD := build/sanitize
SANITIZER_RUNTIMES := $(shell $(CXX) -print-file-name=libasan.so):$(shell \
	$(CXX) -print-file-name=libubsan.so)
SANITIZE_ENV := LD_PRELOAD=$(SANITIZER_RUNTIMES) PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=$(SANITIZE_BUILD)/binding:$(SANITIZE_BUILD)/python \
	QUORVEL_HYPOTHESIS_SCALE=0.1 \
	QUORVEL_LEAK_CALLS=100
SANITIZE_SKIPS := --ignore=$(PACKAGE_TESTS)/test_dask.py \
	--ignore=$(PACKAGE_TESTS)/test_dask_gen_cluster.py \
	$(foreach name,test_plot test_plot_populations test_cli test_cli_cytometry,\
		--ignore=$(PACKAGE_TESTS)/$(name).py) \
	--deselect $(PACKAGE_TESTS)/test_som_exactness.py::test_fit_bits_independent_of_threads

test-sanitize: python-install
	cmake -S . -B $(SANITIZE_BUILD) $(CMAKE_FLAGS) -DQUORVEL_BUILD_MODULE=ON \
		-DQUORVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE=$(abspath $(VENV_PYTHON)) >/dev/null
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	QUORVEL_TEST_SCALE=0.1 ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)
	$(SANITIZE_ENV) $(VENV_PYTHON) -c 'import _quorvel_wrap, sys; \
		from quorvel import _core; \
		sys.exit(any("$(SANITIZE_BUILD)/" not in m.__file__ \
			for m in (_quorvel_wrap, _core)))'
	$(SANITIZE_ENV) $(PYTEST) -p no:cacheprovider --ignore=$(PACKAGE_TESTS)
	$(SANITIZE_ENV) $(PYTEST) -p no:cacheprovider $(PACKAGE_TESTS) $(SANITIZE_SKIPS) \
		--ignore=$(PACKAGE_LEAKS)
	$(SANITIZE_ENV) $(PYTEST) -p no:cacheprovider $(PACKAGE_LEAKS)

# The showcase: maps of the iris measurements and scikit-learn's digits,
# their pictures and quality, and the metaclusters of a cytometry sample, in
# out/demo.
demo: system-deps $(VENV_PYTHON)
	$(PIP) install ".[plot,cytometry]"
	$(VENV_PYTHON) demo/showcase.py --output out/demo

# The benchmark against the peers (bench/run_bench.py): its own virtual
# environment with the peers, our package and R's kohonen (bench/setup.sh
# installs each apart and notes what could not be had), the C++ driver for
# the roofline and per-phase figures, a table on stdout and JSON under
# bench/results/; then Dask against the engine alone (bench/dask_bench.py),
# then the cytometry workflow beside flowsom (bench/cytometry.py). Once
# bench/.venv exists, a run rebuilds only what changed in the package (its
# build is kept in build/bench-package).
# BENCH_ARGS picks a part or a short pass of the first, e.g.
# `make bench BENCH_ARGS="--workload W5"` or BENCH_ARGS=--quick;
# `--workload supervised` is the classifier and the regressor against susi
# and kohonen's xyf (bench/supervised.py).
# OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE slow a current NumPy where a
# machine sets them, so they are cleared for these commands only.
BENCH_VENV := bench/.venv
BENCH_ARGS ?=
BENCH_PIP := $(BENCH_VENV)/bin/python -m pip --disable-pip-version-check --quiet
BENCH_ENV := env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE

$(BENCH_VENV)/bin/python:
	$(PYTHON) -m venv $(BENCH_VENV)

bench: system-deps $(BENCH_VENV)/bin/python
	bench/setup.sh
	$(BENCH_PIP) install "dask[array]" distributed zarr
	cmake -S . -B build/bench -DQUORVEL_BUILD_BENCH=ON -DQUORVEL_BUILD_TESTS=OFF >/dev/null
	cmake --build build/bench -j $(JOBS) --target quorvel_bench
	$(BENCH_ENV) $(BENCH_VENV)/bin/python bench/run_bench.py \
		--driver build/bench/bench/quorvel_bench $(BENCH_ARGS)
	$(BENCH_ENV) OMP_WAIT_POLICY=PASSIVE $(BENCH_VENV)/bin/python bench/dask_bench.py
	$(BENCH_ENV) OMP_WAIT_POLICY=PASSIVE $(BENCH_VENV)/bin/python bench/cytometry.py --large

# The cytometry workflow beside flowsom alone (bench/cytometry.py: ff.fcs and
# its 999,700-cell version; CYTOMETRY_ARGS=--large adds 9,997,000 cells,
# --gating FILE compares with a manual gating of ff.fcs).
CYTOMETRY_ARGS ?=
bench-cytometry: $(BENCH_VENV)/bin/python
	$(BENCH_PIP) install -r bench/requirements-base.txt flowsom ".[cytometry]"
	$(BENCH_ENV) OMP_WAIT_POLICY=PASSIVE $(BENCH_VENV)/bin/python bench/cytometry.py \
		$(CYTOMETRY_ARGS)

clean:
	rm -rf build
