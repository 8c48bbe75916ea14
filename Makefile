# Entry points for people and CI. Each target installs what is missing first.
JOBS := $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: deps build run test clean

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

clean:
	rm -rf build build-test
