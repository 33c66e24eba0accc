# Entry points for people and CI. Build trees live under build/ and are never committed.
SHELL := /bin/bash
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test test-release test-asan test-tsan bench demo docs clean

all: build

deps:
	@bash scripts/install-deps.sh

build/%/build.ninja: | deps
	cmake -S . -B build/$* -G Ninja $(CMAKE_FLAGS) $(if $(filter asan,$*),-DVEXEL_SANITIZE=address -DVEXEL_BUILD_BENCH=OFF) \
	  $(if $(filter tsan,$*),-DVEXEL_SANITIZE=thread -DVEXEL_BUILD_BENCH=OFF)

build: build/release/build.ninja
	cmake --build build/release -j $(JOBS)

# One command runs everything: the normal build, then the AddressSanitizer+UBSan and ThreadSanitizer builds.
test: test-release test-asan test-tsan

test-release test-asan test-tsan: test-%: deps build/%/build.ninja
	cmake --build build/$* -j $(JOBS)
	cd build/$* && ctest --output-on-failure -j $(JOBS) --timeout 600

# The main job: the vexel program against a simulated camera (no hardware needed). Builds only
# the program and the simulator; scripts/demo.sh says what it shows.
demo: build/release/build.ninja
	cmake --build build/release -j $(JOBS) --target vexel-cli vexel-sim
	scripts/demo.sh build/release build/demo

bench: build
	@for b in build/release/bench/bench_*; do [ -x "$$b" ] && "$$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true; done

# The API reference from the public headers: build/release/docs/html/index.html.
docs: build/release/build.ninja
	cmake --build build/release --target docs

clean:
	rm -rf build
