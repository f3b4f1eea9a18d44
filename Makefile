# Convenience wrapper around CMake and CTest.
#   make            configure and build everything in $(BUILD)
#   make test       configure, build and run every test
#   make test BUILD=build-asan CMAKE_FLAGS=-DSMAP_SANITIZE=ON
#                   the same with AddressSanitizer and UBSan
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all configure test memcheck clean

# The soak test with the backend under valgrind's memcheck: any definite or
# indirect leak, invalid read or write fails it.
MEMCHECK = valgrind --quiet --error-exitcode=99 --leak-check=full \
	--errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
	--log-file=$(abspath $(BUILD))/memcheck.%p.log

all: configure
	cmake --build $(BUILD) -j$(JOBS)

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) --timeout 300

memcheck: all
	rm -f $(BUILD)/memcheck.*.log
	SMAP_TEST_WRAPPER="$(MEMCHECK)" $(BUILD)/tests/test_soak; \
	status=$$?; cat $(BUILD)/memcheck.*.log; exit $$status

clean:
	rm -rf $(BUILD)
