# Convenience wrapper around CMake and CTest.
#   make            configure and build everything in $(BUILD)
#   make test       configure, build and run every test
#   make test BUILD=build-asan CMAKE_FLAGS=-DSMAP_SANITIZE=ON
#                   the same with AddressSanitizer and UBSan
#   make bench-dict  Release build in $(BENCH_BUILD), then run the dictionary
#                   benchmark with $(BENCH_REPS) repetitions (medians reported)
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
BENCH_BUILD ?= build-bench
BENCH_REPS ?= 5
BENCH_ARGS ?=

.PHONY: all configure test clean bench-dict

all: configure
	cmake --build $(BUILD) -j$(JOBS)

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) --timeout 300

bench-dict:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DSMAP_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target bench_dict
	$(BENCH_BUILD)/bench/bench_dict --benchmark_repetitions=$(BENCH_REPS) \
		--benchmark_report_aggregates_only=true $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
