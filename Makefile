# Thin front for the CMake build; see README.md.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all configure check demo serve explore bench sanitize fuzz robustness clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

# Configures again after installing the tests' dependencies, so that a build dir made
# without them (plain `make` leaves those tests out) finds them now.
check:
	scripts/ensure-deps check
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)
	$(MAKE) all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: all
	scripts/demo $(BUILD)/bin

# The order form on http://127.0.0.1:$(PORT)/ and the heap explorer on
# http://127.0.0.1:$(EXPLORE_PORT)/heap (PORT as well, unless it is given); 0 picks a free port.
# Both fail when the server cannot start.
PORT ?= 8080
EXPLORE_PORT ?= $(PORT)
serve: all
	$(BUILD)/bin/modhost $(PORT) $(BUILD)/bin

explore: all
	scripts/explore $(BUILD)/bin $(EXPLORE_PORT)

bench:
	scripts/ensure-deps bench
	$(MAKE) all
	scripts/bench $(BUILD)
	scripts/bench-real $(BUILD)

# ASan and UBSan over everything that does not replace malloc (UBSan alone
# where it does), then TSan over the threaded programs that allow it (the
# allocator's threads run under TSan with its entry points renamed).
TSAN_TARGETS = tallylock_test alloc_stress_tsan
sanitize:
	$(MAKE) all BUILD=build-asan CMAKE_FLAGS="-DSANITIZE=address,undefined"
	ctest --test-dir build-asan --output-on-failure -j $(JOBS) -LE nosan
	$(MAKE) configure BUILD=build-tsan CMAKE_FLAGS="-DSANITIZE=thread"
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_TARGETS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L tsan

# Runs the fault and fuzz tests and rewrites docs/robustness.md from their results.
robustness: all
	scripts/robustness-table $(BUILD)

# libFuzzer with ASan and UBSan (clang): each target for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz:
	scripts/ensure-deps fuzz
	@test -f build-fuzz/build.ninja || cmake -S . -B build-fuzz -G Ninja -DFUZZ=ON \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	scripts/fuzz build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-fuzz
