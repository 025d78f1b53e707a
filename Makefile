# The two commands of the README: `make run` and `make test`. `make` alone only builds.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure run test test-plain test-asan clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps.sh

configure: $(BUILD)/build.ninja

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRAVO_SANITIZE=ON $(CMAKE_FLAGS)

run: deps
	@$(MAKE) --no-print-directory all
	@if [ -x $(BUILD)/bin/kestravo ]; then exec $(BUILD)/bin/kestravo; else exec $(BUILD)/bin/kestravo-record --help; fi

test: deps
	@$(MAKE) --no-print-directory test-plain
	@$(MAKE) --no-print-directory test-asan

test-plain: configure
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure --timeout 600 -j $(JOBS)

test-asan: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure --timeout 600 -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
