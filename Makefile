# Convenience wrapper around CMake and CTest.
#   make            configure and build everything in $(BUILD)
#   make test       configure, build and run every test
#   make test BUILD=build-asan CMAKE_FLAGS=-DSMAP_SANITIZE=ON
#                   the same with AddressSanitizer and UBSan
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all configure test clean

all: configure
	cmake --build $(BUILD) -j$(JOBS)

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) --timeout 300

clean:
	rm -rf $(BUILD)

# A one-minute tour: smap-serve with the sample maps, one table-protocol
# session through smap-backend.
.PHONY: demo
demo: all
	bash tools/demo.sh $(BUILD)
