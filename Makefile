# The few commands people use. `make test` sets up what the tests need on a
# fresh machine and runs every test suite of the project.
PYTHON ?= python3
JOBS ?= $(shell nproc)
CMAKE_FLAGS := -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_WERROR=ON

.PHONY: test test-cpp test-cpp-native build clean

test: test-cpp test-cpp-native

system-deps:
	@tools/install-system-deps.sh

# The C++ tests run twice: with the default flags and tuned for this machine
# (-O3 -march=native). Both builds must give the same bits.
test-cpp: system-deps
	cmake -S . -B build/cpp-default $(CMAKE_FLAGS) >/dev/null
	cmake --build build/cpp-default -j $(JOBS)
	ctest --test-dir build/cpp-default --output-on-failure -j $(JOBS)

test-cpp-native: system-deps
	cmake -S . -B build/cpp-native $(CMAKE_FLAGS) -DCMAKE_CXX_FLAGS="-O3 -march=native" >/dev/null
	cmake --build build/cpp-native -j $(JOBS)
	ctest --test-dir build/cpp-native --output-on-failure -j $(JOBS)

build: test-cpp

clean:
	rm -rf build
