# The two entry points of the README: `make demo` and `make test`.
# Each installs what is missing, configures and builds.

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
CMAKE_GEN  := -G Ninja

PREFIX     ?= /usr/local

.PHONY: all build demo test test-release test-asan bench fuzz deps install package clean

all: build

# The demo needs only what the programs and their example clips need; the
# tests add GoogleTest. The test switch is given on every configure, so one
# build folder serves both and follows the last command.
deps:
	bash scripts/install-deps.sh build test
	bash scripts/fetch-model.sh .cache/u2netp.onnx   # recortar's saliency model, not in the repository

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
	cmake --build $(BUILD)

demo:
	bash scripts/install-deps.sh demo
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(BUILD)
	bash scripts/demo.sh $(BUILD)

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j2

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON \
		-DBUILD_TESTING=ON
	cmake --build $(ASAN_BUILD)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j2

# Release tests first (fast feedback), then the same tests under the sanitizers.
test: test-release test-asan

bench:
	bash scripts/install-deps.sh bench
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON
	cmake --build $(BUILD)
	bash bench/run.sh $(BUILD)

# libFuzzer targets under ASan + UBSan, built with clang, each run for
# FUZZ_SECONDS; fails on any finding. Not part of `make test`.
fuzz:
	bash scripts/install-deps.sh build fuzz
	test -f $(FUZZ_BUILD)/build.ninja || cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DFUZZ=ON
	cmake --build $(FUZZ_BUILD)
	bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Honours PREFIX and, through CMake, DESTDIR.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The .deb, then lintian on it: any error fails the target (packaging/).
package: build
	bash scripts/install-deps.sh package
	rm -f $(BUILD)/seguir-recortar_*.deb
	cd $(BUILD) && cpack -G DEB
	lintian --fail-on error $(BUILD)/seguir-recortar_*.deb

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
