# The two entry points of the README: `make demo` and `make test`.
# Each installs what is missing, configures and builds.

BUILD      ?= build
ASAN_BUILD ?= build-asan
CMAKE_GEN  := -G Ninja

PREFIX     ?= /usr/local

.PHONY: all build demo test test-release test-asan bench deps install package clean

all: build

deps:
	bash scripts/install-deps.sh build test

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD)

demo: build
	bash scripts/demo.sh $(BUILD)

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j2

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON

test-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j2

# Release tests first (fast feedback), then the same tests under the sanitizers.
test: test-release test-asan

bench: build
	bash scripts/install-deps.sh bench
	bash bench/run.sh $(BUILD)

# Honours PREFIX and, through CMake, DESTDIR.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

package: build
	bash scripts/install-deps.sh package
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
