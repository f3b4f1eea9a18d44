# SPDX-License-Identifier: ISC
# Convenience wrapper around CMake and CTest.
#   make deps       install the libraries the build needs (tinycdb's) as
#                   root, or name them; the targets that configure run it
#   make            configure and build everything in $(BUILD), as
#                   $(BUILD_TYPE) (CFLAGS, CXXFLAGS, CPPFLAGS and LDFLAGS
#                   from the environment are added at the first configure)
#   make test       configure with SMAP_WERROR=ON, build and run every test
#   make demo       build smap-serve and smap-backend as make test does,
#                   quietly, and run the demo (tools/demo.sh)
#   make test BUILD=build-asan CMAKE_FLAGS=-DSMAP_SANITIZE=ON
#                   the same with AddressSanitizer and UBSan
#   make install    build, then install under $(PREFIX) (default
#                   /usr/local), staged below $(DESTDIR) when given
#   make deb        Debian packages into dist/, checked with lintian
#   make clean      remove every build folder made here, and dist/
#   make bench-dict  Release build in $(BENCH_BUILD), then run the dictionary
#                   benchmark with $(BENCH_REPS) repetitions (medians reported)
#   make bench      lookup throughput of smap-backend against a minimal
#                   relay, and through the smap-serve bridge, from a
#                   Release build in $(BENCH_BUILD)
#                   (BENCH_FLAGS=-n 10000 for a shorter run)
#   make bench-callgrind
#                   instructions per lookup under callgrind
#                   (CALLGRIND_LOOKUPS=3000)
#   make bench-maps what loading a big map costs smap-serve's other
#                   clients (BENCH_MAPS_FLAGS=-m 50 -r 3 by default)
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
PREFIX ?= /usr/local
DESTDIR ?=
JOBS ?= 2
CMAKE_FLAGS ?=
BENCH_BUILD ?= build-bench
BENCH_REPS ?= 5
BENCH_ARGS ?=
BENCH_FLAGS ?=
CALLGRIND_LOOKUPS ?= 3000
BENCH_MAPS_FLAGS ?= -m 50 -r 3

.PHONY: all deps configure test install deb memcheck fuzz bench bench-build bench-callgrind bench-dict bench-maps clean

# The soak tests with the backend and smap-serve (the bridge) under
# valgrind's memcheck: any definite or indirect leak, invalid read or write
# fails them.
MEMCHECK = valgrind --quiet --error-exitcode=99 --leak-check=full \
	--errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
	--log-file=$(abspath $(BUILD))/memcheck.%p.log

all: configure
	cmake --build $(BUILD) -j$(JOBS)

# The libraries the build needs beyond the compiler, CMake, GoogleTest and
# Google Benchmark (tinycdb's): installed as root, named otherwise.
deps:
	@sh tools/build-deps.sh

# WERROR_FLAG is set by the targets that turn warnings into errors; the
# choice stays in the build folder's cache.
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(WERROR_FLAG) $(CMAKE_FLAGS)
configure: deps
	$(CONFIGURE)

test: WERROR_FLAG = -DSMAP_WERROR=ON
test: all
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) --timeout 300

bench-build: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DSMAP_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target smap-backend smap-serve smap-makemap \
		throughput

bench: bench-build
	$(BENCH_BUILD)/bench/throughput $(BENCH_FLAGS) -S $(BENCH_BUILD)/tools/smap-serve \
		-M $(BENCH_BUILD)/tools/smap-makemap $(BENCH_BUILD)/src/backend/smap-backend

bench-callgrind: bench-build
	sh bench/callgrind.sh $(BENCH_BUILD)/bench/throughput \
		$(BENCH_BUILD)/src/backend/smap-backend $(CALLGRIND_LOOKUPS)

bench-maps: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DSMAP_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target smap-serve smap-makemap map_load
	$(BENCH_BUILD)/bench/map_load $(BENCH_MAPS_FLAGS) -M $(BENCH_BUILD)/tools/smap-makemap \
		$(BENCH_BUILD)/tools/smap-serve

memcheck: all
	rm -f $(BUILD)/memcheck.*.log
	SMAP_TEST_WRAPPER="$(MEMCHECK)" $(BUILD)/tests/test_soak; \
	status=$$?; cat $(BUILD)/memcheck.*.log; exit $$status

# Each fuzz target for FUZZ_SECONDS, with ASan and UBSan, starting from its
# seed corpus; new inputs are kept in $(FUZZ_BUILD)/corpus.
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz
FUZZ_TARGETS = request reply dict netstring cdb

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		-DSMAP_FUZZ=ON -DSMAP_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus/$$t && \
		$(FUZZ_BUILD)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=2 \
			-dict=fuzz/$$t.dict $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

bench-dict: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DSMAP_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target bench_dict
	$(BENCH_BUILD)/bench/bench_dict --benchmark_repetitions=$(BENCH_REPS) \
		--benchmark_report_aggregates_only=true $(BENCH_ARGS)

install: all
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

deb:
	JOBS=$(JOBS) sh tools/build-deb.sh

# Every folder the targets above and .ci/run build in, and dist/.
clean:
	rm -rf $(BUILD) build-* $(BENCH_BUILD) $(FUZZ_BUILD) dist

# A one-minute tour: smap-serve with the sample maps, one table-protocol
# session through smap-backend. Only those two are built, configured as
# make test configures (warnings are errors), so that make test afterwards
# compiles nothing twice. The build writes to a log, shown only when it
# fails, so the demo's output is what stays on the screen.
DEMO_LOG = $(BUILD)/demo-build.log
.PHONY: demo
demo: WERROR_FLAG = -DSMAP_WERROR=ON
demo: deps
	@mkdir -p $(BUILD)
	@echo "make demo: building smap-serve and smap-backend in $(BUILD)/ (log: $(DEMO_LOG))"
	@if ! { $(CONFIGURE) && cmake --build $(BUILD) -j$(JOBS) --target smap-serve smap-backend; } \
		>$(DEMO_LOG) 2>&1; then \
		cat $(DEMO_LOG); echo "make demo: the build failed (log: $(DEMO_LOG))" >&2; exit 1; \
	fi
	@bash tools/demo.sh $(BUILD)
