# The project's commands. Each one does all the set-up it needs first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
RELEASE_BUILD ?= build-release
# More configure options of the release tree, e.g. -DQUILLORA_WERROR=ON.
RELEASE_FLAGS ?=
# Seconds each fuzz target runs; FUZZ_TARGETS picks some (default: all).
FUZZ_SECONDS ?= 20
FUZZ_TARGETS ?=
JOBS       ?= $(shell nproc)
# Each tree is configured by its preset in CMakePresets.json; builds of the
# same sources in several trees share one compiler cache.
LAUNCHER   := $(if $(shell command -v ccache 2>/dev/null),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: all setup build run test asan tsan fuzz release bench soak package clean

all: build

setup:
	@bash scripts/setup.sh

$(BUILD)/build.ninja:
	cmake --preset build -B $(BUILD) $(LAUNCHER)

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

$(ASAN_BUILD)/build.ninja:
	cmake --preset asan -B $(ASAN_BUILD) $(LAUNCHER)

asan: setup $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

# The threaded layers under ThreadSanitizer: the transport, the HTTP client,
# the download engine, its two front ends' commands and the tools on the client.
TSAN_TESTS := test_net test_http test_transfer test_download test_tools_fetch test_tools_get
TSAN_LABELS := test_net|test_http|test_transfer|test_download|test_tools_fetch|test_tools_get
$(TSAN_BUILD)/build.ninja:
	cmake --preset tsan -B $(TSAN_BUILD) $(LAUNCHER)

tsan: setup $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS) quillora-get quillora-fetch
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
		ctest --output-on-failure -j $(JOBS) -L '$(TSAN_LABELS)'

# The optimised build a packager makes (-O3), every target, no test run;
# CFLAGS/CXXFLAGS/LDFLAGS of the environment are taken, as dpkg-buildflags sets them.
$(RELEASE_BUILD)/build.ninja:
	cmake --preset release -B $(RELEASE_BUILD) $(LAUNCHER) $(RELEASE_FLAGS)

release: setup $(RELEASE_BUILD)/build.ninja
	cmake --build $(RELEASE_BUILD) -j $(JOBS)

$(FUZZ_BUILD)/build.ninja:
	cmake --preset fuzz -B $(FUZZ_BUILD)

fuzz: setup $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	@bash tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

bench: build
	@bash bench/run.sh $(BUILD)

# The long runs, with their figures: quillora-get -j 8 --archive over an
# account of SOAK_PICTURES small pictures through the chaos relay at 5 %
# faults a reply, then through a clean one until a run ends well; and one
# process doing the window's lookup and download SOAK_ROUNDS times, its
# memory, descriptors and threads flat.
SOAK_PICTURES ?= 10000
SOAK_SEEDS    ?= 1
SOAK_ROUNDS   ?= 200
soak: build
	python3 tests/support/chaos_run.py --bin $(BUILD)/bin --count $(SOAK_PICTURES) --seeds $(SOAK_SEEDS) --figures
	QUILLORA_SOAK_ROUNDS=$(SOAK_ROUNDS) $(BUILD)/bin/test_download --gtest_filter='WindowSoak.*'

# A Debian package of the window and the tools, in $(BUILD)/.
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(RELEASE_BUILD)
