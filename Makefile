# The few commands people use. `make test` sets up what the tests need on a
# fresh machine and runs every test suite of the project.
PYTHON ?= python3
JOBS ?= $(shell nproc)
CMAKE_FLAGS := -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_WERROR=ON

.PHONY: test test-cpp test-cpp-native test-cpp-sanitize system-deps clean

test: test-cpp test-cpp-native test-cpp-sanitize

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

clean:
	rm -rf build
