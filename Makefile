# Thin wrapper over CMake; the README's two commands are `make demo` and `make test`.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps test demo bench fuzz fuzz-run tsan format-check clean

all: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

# `make demo` and `make test` first install the missing Debian packages of
# deps/debian.txt (the groups named, or all); NO_DEPS=1 skips that step for
# machines whose packages are managed by hand. `make deps` runs it alone.
install_deps = $(if $(NO_DEPS),,sh deps/install.sh $(1))

deps:
	sh deps/install.sh

# A build that found no test fails instead of passing. The packages come
# before configuring, hence the inner make.
test:
	$(call install_deps)
	$(MAKE) --no-print-directory all
	ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j $(JOBS)
	sh deps/test_install.sh

# The demo needs the program (and the Python package when it is built), not
# the tests.
demo:
	$(call install_deps,build formats plot python)
	$(MAKE) --no-print-directory $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target zandor
	if grep -q '^ZANDOR_PYTHON:BOOL=ON' $(BUILD)/CMakeCache.txt; then \
		cmake --build $(BUILD) -j $(JOBS) --target _zandor; fi
	cd examples && ./run_demo.sh $(abspath $(BUILD))/zandor $(abspath $(BUILD))/python

bench: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target bench_sum bench_grid bench_excl bench_hkl bench_rad bench_powder bench_stat bench_info bench_detectors bench_writers
	cmake --build $(BUILD) -j $(JOBS) --target zandor
	bench/run_bench.sh $(BUILD)
	bench/run_series_bench.sh $(BUILD)
	$(BUILD)/bench_info
	bench/run_grid_bench.sh $(BUILD)
	$(BUILD)/bench_excl
	bench/run_hkl_bench.sh $(BUILD)
	$(BUILD)/bench_rad >/dev/null
	$(BUILD)/bench_powder >/dev/null
	$(BUILD)/bench_detectors
	$(BUILD)/bench_writers

# libFuzzer targets built with clang in build-fuzz; fuzz-run runs each for FUZZ_SECONDS.
FUZZ_SECONDS ?= 30
fuzz:
	$(call install_deps,build formats fuzz)
	CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANDOR_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS)

fuzz-run: fuzz
	tests/fuzz/run_fuzz.sh build-fuzz $(FUZZ_SECONDS)

# ThreadSanitizer build in build-tsan (parallel pieces on std::thread, which
# the sanitizer sees), running the unit tests and the thread scenarios at
# THREADS 2 and 3.
tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANDOR_TSAN=ON
	cmake --build build-tsan -j $(JOBS) --target zandor unit_tests cli_tests
	ZANDOR_THREADS=3 TSAN_OPTIONS=halt_on_error=1 build-tsan/unit_tests --gtest_brief=1
	ZANDOR_THREADS=2 TSAN_OPTIONS=halt_on_error=1 build-tsan/cli_tests --gtest_brief=1 --gtest_filter='*Thread*:*Detector*:*Grid*:*Radial*'

# Every tracked C++ source must match .clang-format.
format-check:
	git ls-files -z '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD)
