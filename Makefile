# make test                            set up, build and run every test
# make test SANITIZE=address,undefined the same in build-address-undefined/ with sanitizers
# make demo                            set up, build the library, daemon and tool, run the demo
# make fuzz FUZZ_SECONDS=60            build the fuzz targets with clang in build-fuzz/, run each
# make package                         the Debian package, in build-package/ (a /usr build)
SANITIZE ?=
JOBS ?= 2
CI ?=
comma := ,
WERROR := $(if $(filter true,$(CI)),ON,OFF)
BUILD_DIR := $(if $(SANITIZE),build-$(subst $(comma),-,$(SANITIZE)),build)
BUILD_TYPE := $(if $(SANITIZE),Debug,RelWithDebInfo)

.PHONY: all setup configure build test demo bench fuzz package clean

all: build

setup:
	@scripts/setup

configure: setup
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		-DTESSARY_SANITIZE=$(SANITIZE) -DTESSARY_WERROR=$(WERROR) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure --no-tests=error --timeout 300 -j $(JOBS)

# Only what the demo runs: the library, the bus server and the tool. The tests, benchmarks and
# examples wait for make build or make test.
demo: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target tessary-client tessary-busd tessary
	@$(BUILD_DIR)/tools/tessary demo

FUZZ_SECONDS ?= 60
FUZZ_TARGETS := FrameCodec FrameReader WaitConnection Ini Command2String
FUZZ_DIR := build-fuzz

# Each target runs on its checked-in seeds and keeps what it learns in $(FUZZ_DIR)/corpus, so the
# checked-in corpora stay small; a crash or leak stops the run and leaves its input in
# $(FUZZ_DIR)/crashes. The library's log lines go nowhere (-close_fd_mask), reports still show.
# An input costs the readers a read block or two, and ASan's defaults (filling each allocation,
# 30 frames of stack for it, a 256 MiB quarantine that keeps touching fresh pages) cost more
# than the code under test; with these the targets run about 1.4 times as fast, and a fault's
# own stack and a use after free within an input are still reported.
FUZZ_ASAN_OPTIONS ?= max_malloc_fill_size=0:malloc_context_size=4:quarantine_size_mb=32
fuzz: export ASAN_OPTIONS := $(if $(ASAN_OPTIONS),$(ASAN_OPTIONS),$(FUZZ_ASAN_OPTIONS))
fuzz: setup
	@cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DTESSARY_SANITIZE=fuzzer-no-link,address,undefined -DTESSARY_BUILD_TESTS=OFF \
		-DTESSARY_BUILD_BENCH=OFF >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) $(addprefix --target fuzz_,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_DIR)/corpus/$$t $(FUZZ_DIR)/crashes && \
		$(FUZZ_DIR)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			-close_fd_mask=2 -artifact_prefix=$(FUZZ_DIR)/crashes/$$t- \
			$(FUZZ_DIR)/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

bench: build
	@for b in $(BUILD_DIR)/bench/*_bench; do $$b; done

package: setup
	@cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
		-DTESSARY_BUILD_TESTS=OFF -DTESSARY_BUILD_BENCH=OFF -DTESSARY_WERROR=$(WERROR) >/dev/null
	@cmake --build build-package -j $(JOBS)
	@cd build-package && cpack -G DEB

clean:
	rm -rf build build-*
