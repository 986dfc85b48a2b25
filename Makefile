# jtagnand: the everyday commands. CMake does the building; build/ holds the
# release build, build-asan/ the sanitizer build of the tests.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build test test-release test-asan demo bench clean format

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

test: test-release test-asan

test-release: build
	cd build && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DJTAGNAND_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

demo: build
	scripts/demo.sh build/jtagnand

bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DJTAGNAND_TESTS=OFF -DJTAGNAND_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS)
	scripts/bench.sh build-bench

clean:
	rm -rf build build-asan build-bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')
