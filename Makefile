# The few commands people use. `make test` sets up what the tests need on a
# fresh machine and runs every test suite of the project.
PYTHON ?= python3
JOBS ?= $(shell nproc)
CMAKE_FLAGS := -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_WERROR=ON

.PHONY: bench test test-cpp test-cpp-native test-cpp-sanitize test-python demo \
	python-install system-deps clean

test: test-cpp test-cpp-native test-cpp-sanitize test-python

system-deps:
	@tools/install-system-deps.sh

# One C++ test suite: configure build/cpp-$(1) with extra CMake flags $(2),
# build it and run ctest.
define cpp_suite
	cmake -S . -B build/cpp-$(1) $(CMAKE_FLAGS) $(2) >/dev/null
	cmake --build build/cpp-$(1) -j $(JOBS)
	ctest --test-dir build/cpp-$(1) --output-on-failure -j $(JOBS)
endef

# The C++ tests run with the default flags and tuned for this machine
# (-O3 -march=native): both builds must give the same bits.
test-cpp: system-deps
	$(call cpp_suite,default,)

test-cpp-native: system-deps
	$(call cpp_suite,native,-DCMAKE_CXX_FLAGS="-O3 -march=native")

# AddressSanitizer and UndefinedBehaviorSanitizer; any report fails the run.
test-cpp-sanitize: system-deps
	$(call cpp_suite,sanitize,-DQUORVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)

# The Python side lives in a local virtual environment, .venv: made once,
# then each target installs what it needs and builds the package into it
# (pip install ., through scikit-build-core and the CMake build).
VENV := .venv
VENV_PYTHON := $(VENV)/bin/python
PIP := $(VENV_PYTHON) -m pip --disable-pip-version-check --quiet

$(VENV_PYTHON):
	$(PYTHON) -m venv $(VENV)

python-install: system-deps $(VENV_PYTHON)
	$(PIP) install numpy pytest hypothesis
	$(PIP) install .

# Passive waiting keeps idle OpenMP threads from spinning between the many
# small training calls of the tests, which matters on a machine of 2 cores.
test-python: python-install
	OMP_WAIT_POLICY=PASSIVE $(VENV_PYTHON) -m pytest --hypothesis-show-statistics

# Trains a map on the iris measurements and writes the results to out/demo.
demo: system-deps $(VENV_PYTHON)
	$(PIP) install numpy matplotlib
	$(PIP) install .
	$(VENV_PYTHON) demo/iris_demo.py --output out/demo

# The benchmark against the peers (bench/run_bench.py): its own virtual
# environment with the peers and our package, the C++ driver for the
# roofline and per-phase figures, a table on stdout and JSON under
# bench/results/. OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE slow a current NumPy
# where a machine sets them, so they are cleared for this command only.
BENCH_VENV := bench/.venv
BENCH_PIP := $(BENCH_VENV)/bin/python -m pip --disable-pip-version-check --quiet

$(BENCH_VENV)/bin/python:
	$(PYTHON) -m venv $(BENCH_VENV)

bench: system-deps $(BENCH_VENV)/bin/python
	$(BENCH_PIP) install numpy scipy minisom xpysom sparse-som
	$(BENCH_PIP) install .
	cmake -S . -B build/bench -DQUORVEL_BUILD_BENCH=ON -DQUORVEL_BUILD_TESTS=OFF >/dev/null
	cmake --build build/bench -j $(JOBS) --target quorvel_bench
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(BENCH_VENV)/bin/python \
		bench/run_bench.py --driver build/bench/bench/quorvel_bench

clean:
	rm -rf build
