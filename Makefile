# jtagnand: the everyday commands. CMake does the building; build/ holds the
# release build, build-asan/ the sanitizer build of the tests.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build asan test test-release test-asan demo install deb bench fuzz windows check-win32 clean \
  format

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

# The release build, then its tests; meanwhile the sanitizer build compiles
# at the lowest priority, in the time the tests leave the processors idle
# (waiting on peers, Wine and the emulated Linux) without slowing them. Its
# output goes to build-asan/build.log, shown when it fails. timeout runs it
# in a process group of its own (in the same session, so that its low
# priority holds against the tests) and passes a TERM on to the whole group:
# the release tests' failure or an interrupt ends it. Then the sanitizer
# build's tests.
test: build
	@mkdir -p build-asan
	@echo "make test: the sanitizer build compiles beside the release tests (build-asan/build.log)"
	@asan=; trap '[ -z "$$asan" ] || kill $$asan 2> /dev/null' EXIT; trap 'exit 130' INT TERM; \
	timeout 2h nice -n 19 $(MAKE) --no-print-directory asan < /dev/null > build-asan/build.log 2>&1 & \
	asan=$$!; \
	(cd build && ctest --output-on-failure -j $(JOBS)) || exit $$?; \
	if ! wait $$asan; then \
	  tail -n 40 build-asan/build.log; echo "make test: the sanitizer build failed (build-asan/build.log)"; \
	  exit 1; \
	fi; \
	trap - EXIT
	cd build-asan && ctest --output-on-failure -j $(JOBS)

test-release: build
	cd build && ctest --output-on-failure -j $(JOBS)

# The sanitizer build uses clang when it is installed: it compiles these
# sources in about two thirds of g++'s time, and its reports are the same
# ASan and UBSan. Without it (or without its sanitizer runtime,
# libclang-rt-14-dev), g++ builds it. SANITIZE_CXX= forces g++.
SANITIZE_CXX ?= $(shell c=$$(command -v clang++-14) && \
  [ -e "$$($$c -print-runtime-dir)/libclang_rt.asan-x86_64.a" ] && echo $$c)
asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DJTAGNAND_SANITIZE=ON \
	  $(if $(SANITIZE_CXX),-DCMAKE_CXX_COMPILER=$(SANITIZE_CXX)) $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)

test-asan: asan
	cd build-asan && ctest --output-on-failure -j $(JOBS)

# The demo needs the program alone: no test suite, no Windows cross build.
demo:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target jtagnand
	scripts/demo.sh build/jtagnand

# Installs the programs, man pages, bash completion and udev rules under
# PREFIX (default /usr/local), below DESTDIR when given (a staging folder:
# make install PREFIX=/usr DESTDIR=stage). Builds what it installs, not the
# tests.
PREFIX ?= /usr/local
DESTDIR ?=
install:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target installed_files
	DESTDIR="$(if $(DESTDIR),$(abspath $(DESTDIR)))" cmake --install build --prefix "$(PREFIX)"

# The Debian package build/jtagnand_<version>_<arch>.deb (CPack), with the
# files of `make install` under /usr and Depends from dpkg-shlibdeps.
deb:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target installed_files
	cd build && cpack -G DEB

bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DJTAGNAND_TESTS=OFF -DJTAGNAND_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS)
	scripts/bench.sh build-bench

# The libFuzzer targets (fuzz/), built with clang-14 in build-fuzz (ASan and
# UBSan, coverage in every library), each run for FUZZ_SECONDS from its seed
# corpus; a crash fails. The g++ builds are not touched.
FUZZ_SECONDS ?= 20
FUZZ_CC ?= clang-14
FUZZ_CXX ?= clang++-14
fuzz:
	CC=$(FUZZ_CC) CXX=$(FUZZ_CXX) cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DJTAGNAND_FUZZ=ON -DJTAGNAND_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

# The program for Windows, cross-built with MinGW-w64: build-win64/jtagnand.exe
# and build-win32/jtagnand.exe (the one for the giveio driver, which loads on
# 32-bit Windows only), each with the unit tests that need no POSIX
# (build-winNN/tests/unit_tests.exe; `make test` runs the 64-bit one under
# Wine).
windows:
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DJTAGNAND_TESTS=ON $(CMAKE_FLAGS)
	cmake --build build-win64 -j $(JOBS)
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DJTAGNAND_TESTS=ON $(CMAKE_FLAGS)
	cmake --build build-win32 -j $(JOBS)

# The 32-bit program compiled as a check, unoptimised (CI runs it): a 32-bit
# size_t and long catch conversions the 64-bit builds let pass, and those
# warnings come from the compiler's front end. No test runs it: Debian's
# wine64 runs 64-bit programs only.
check-win32:
	cmake -S . -B build-win32-check -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O0 -DJTAGNAND_LIBRARY_PCH=ON -DJTAGNAND_UNITY_LIBRARIES=ON \
	  -DJTAGNAND_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-win32-check -j $(JOBS) --target jtagnand

clean:
	rm -rf build build-asan build-bench build-fuzz build-win64 build-win32 build-win32-check

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')
