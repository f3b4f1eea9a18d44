# Convenience wrapper around CMake and CTest.
#   make            configure and build everything in $(BUILD)
#   make test       configure, build and run every test
#   make test BUILD=build-asan CMAKE_FLAGS=-DSMAP_SANITIZE=ON
#                   the same with AddressSanitizer and UBSan
#   make bench      lookup throughput of smap-backend against a minimal
#                   relay, from a Release build in $(BENCH_BUILD)
#                   (BENCH_FLAGS=-n 10000 for a shorter run)
#   make bench-callgrind
#                   instructions per lookup under callgrind
#                   (CALLGRIND_LOOKUPS=3000)
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
BENCH_BUILD ?= build-bench
BENCH_FLAGS ?=
CALLGRIND_LOOKUPS ?= 3000

.PHONY: all configure test clean bench bench-build bench-callgrind

all: configure
	cmake --build $(BUILD) -j$(JOBS)

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) --timeout 300

bench-build:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DSMAP_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target smap-backend throughput

bench: bench-build
	$(BENCH_BUILD)/bench/throughput $(BENCH_FLAGS) $(BENCH_BUILD)/src/backend/smap-backend

bench-callgrind: bench-build
	sh bench/callgrind.sh $(BENCH_BUILD)/bench/throughput \
		$(BENCH_BUILD)/src/backend/smap-backend $(CALLGRIND_LOOKUPS)

clean:
	rm -rf $(BUILD) $(BENCH_BUILD)
