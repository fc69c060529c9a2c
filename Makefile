# make test                            set up, build and run every test
# make test SANITIZE=address,undefined the same in build-address-undefined/ with sanitizers
# make demo                            set up, build and run the demo
SANITIZE ?=
JOBS ?= 2
CI ?=
comma := ,
WERROR := $(if $(filter true,$(CI)),ON,OFF)
BUILD_DIR := $(if $(SANITIZE),build-$(subst $(comma),-,$(SANITIZE)),build)
BUILD_TYPE := $(if $(SANITIZE),Debug,RelWithDebInfo)

.PHONY: all setup configure build test demo bench clean

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

demo: build
	@$(BUILD_DIR)/tools/tessary demo

bench: build
	@for b in $(BUILD_DIR)/bench/*_bench; do $$b; done

clean:
	rm -rf build build-*
