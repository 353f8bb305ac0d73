# Entry points: `make demo` and `make test` install what is missing, build
# and run; `make deps`, `make build`, `make bench` and `make fuzz` do one step.

BUILD_DIR ?= build
ASAN_DIR ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_GENERATOR ?= Ninja

.PHONY: all deps build build-asan test unit-tests asan-tests demo bench fuzz clean

all: build

deps:
	@tools/install-deps

build: deps
	@cmake -S . -B $(BUILD_DIR) -G $(CMAKE_GENERATOR) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_DIR) -G $(CMAKE_GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DVELK_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_DIR) -j $(JOBS)

unit-tests: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

asan-tests: build-asan
	@cd $(ASAN_DIR) && ctest --output-on-failure -j $(JOBS)

test: unit-tests asan-tests

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
