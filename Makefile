# The two commands a newcomer needs: `make run` and `make test`.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test test-nodesktop test-asan fuzz fuzz-smoke run bench package screenshots format format-check clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The command-line tool, the service and their tests alone, as on a server
# without Qt Widgets (-DNIVET_DESKTOP=OFF).
test-nodesktop: deps
	cmake -S . -B build-nodesktop -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DNIVET_DESKTOP=OFF
	cmake --build build-nodesktop -j $(JOBS)
	cd build-nodesktop && ctest --output-on-failure -j $(JOBS)

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNIVET_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

# Every libFuzzer target for FUZZ_SECONDS (default 60) seconds.
fuzz:
	@scripts/fuzz.sh

# What CI runs: every target built and run for 10 s, so a harness that stops
# compiling, or an easy finding, is seen at once.
fuzz-smoke:
	@FUZZ_SECONDS=10 scripts/fuzz.sh

# Starts the app against a local stamping service with all state under .run/.
run: build
	@scripts/run.sh $(BUILD)

bench: build
	@scripts/bench.sh $(BUILD)

# The Debian packages nivet-timestamping and nivet-stampd, in $(BUILD)/.
package: build
	cd $(BUILD) && cpack

# The pictures software centres show, from the real windows (data/screenshots/).
screenshots: build
	QT_QPA_PLATFORM=offscreen $(BUILD)/bin/uishots --appstream data/screenshots

SOURCES = git ls-files '*.cpp' '*.h'

format: deps
	$(SOURCES) | xargs clang-format -i

# Fails, naming the lines, where a file differs from .clang-format.
format-check: deps
	$(SOURCES) | xargs clang-format --dry-run -Werror

clean:
	rm -rf $(BUILD)
