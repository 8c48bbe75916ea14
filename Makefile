# Entry points for people and CI. Each target installs what is missing first.
JOBS := $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: deps build run test tsan package test-package bench fuzz clean

deps:
	scripts/install-deps.sh

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

run: build
	./build/varnolt

# The tests run under AddressSanitizer and UndefinedBehaviorSanitizer.
test: deps
	cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNOLT_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-test -j$(JOBS)
	cd build-test && ctest --output-on-failure -j$(JOBS)

# The Debian package, build/varnolt_<version>_<arch>.deb, from the Release build.
package: build
	cd build && cpack -G DEB

# The package's checks: its control fields and file list, the unpacked
# programs, the desktop entry and AppStream metadata, and (as root) an install
# and a removal with apt-get.
test-package: package
	scripts/install-deps.sh --package
	scripts/test-package.sh build

# The scan's tests under ThreadSanitizer: the scan tokenizes on several
# threads. About a minute, most of it the build.
tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNOLT_GUI=OFF \
	  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread $(CMAKE_FLAGS)
	cmake --build build-tsan -j$(JOBS) --target scan_test input_test scan_file_test
	for t in scan_test input_test scan_file_test; do \
	  TSAN_OPTIONS=allocator_may_return_null=1:halt_on_error=1 build-tsan/$$t || exit 1; \
	done

# The scan benchmark against grep, ripgrep and cat (not part of the tests).
bench:
	bench/run.sh

# The fuzz target, built with clang and libFuzzer, run for FUZZ_SECONDS on a
# copy of the seed corpus in tests/fuzz/corpus (not part of the tests).
FUZZ_SECONDS ?= 120
fuzz:
	scripts/install-deps.sh --fuzz
	CXX=clang++ CC=clang cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVARNOLT_FUZZ=ON -DVARNOLT_SANITIZE=ON -DVARNOLT_GUI=OFF -DVARNOLT_TESTS=OFF
	cmake --build build-fuzz -j$(JOBS) --target link_scan_fuzz
	rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus && cp tests/fuzz/corpus/* build-fuzz/corpus/
	build-fuzz/link_scan_fuzz -seed=1 -max_total_time=$(FUZZ_SECONDS) -max_len=512 \
	  build-fuzz/corpus

clean:
	rm -rf build build-test build-tsan build-bench build-fuzz build-windows build-windows64

# --- Windows: cross-built with mingw-w64, 32-bit into build-windows and
# 64-bit into build-windows64 (varnolt.exe, the window, and varnolt-scan.exe
# in each, beside the zip), tested under Wine in Xvfb.
.PHONY: windows test-windows

# windows_build DIR ARCH: GoogleTest from Debian's source package, built once
# with the cross compiler, then the programs, the tests and the zip. Nothing
# runs under Wine while building.
define windows_build
	test -f $(CURDIR)/$(1)/googletest/lib/cmake/GTest/GTestConfig.cmake || { \
	  cmake -S /usr/src/googletest -B $(1)/googletest-build \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw-$(2).cmake \
	    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(CURDIR)/$(1)/googletest \
	    -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=ON && \
	  cmake --build $(1)/googletest-build -j$(JOBS) && \
	  cmake --install $(1)/googletest-build; }
	cmake -S . -B $(1) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw-$(2).cmake \
	  -DCMAKE_BUILD_TYPE=Release -DVARNOLT_GUI=ON -DVARNOLT_TESTS=ON \
	  -DGTest_DIR=$(CURDIR)/$(1)/googletest/lib/cmake/GTest $(CMAKE_FLAGS)
	cmake --build $(1) -j$(JOBS)
endef

windows:
	scripts/install-deps.sh --windows
	$(call windows_build,build-windows,i686)
	$(call windows_build,build-windows64,x86_64)

# The 64-bit build always; the 32-bit one where the machine runs 32-bit
# programs (the script finds out).
test-windows: windows
	scripts/test-windows.sh build-windows64 build-windows
