# SPDX-License-Identifier: Apache-2.0
# The two commands of the README: `make run` and `make test`. `make` alone only builds.
# `make package` builds the Debian packages into build/deb/; `make package-check` checks them;
# `make package-check-chroot` builds them with their tests as a distribution's build daemon does.
BUILD         ?= build
ASAN_BUILD    ?= build-asan
PACKAGE_OUT   ?= $(BUILD)/deb
PACKAGE_CHROOT ?= $(BUILD)/chroot
JOBS          ?= $(shell nproc)
CMAKE_FLAGS   ?=
# Rebuilds in a fresh clone reuse the objects of earlier builds where ccache is installed.
LAUNCHER      := $(if $(shell command -v ccache 2>/dev/null),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Paths are taken relative to the clone, so another clone of the tree hits the same objects.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
TEST_FUZZ_SECONDS ?= 5

.PHONY: all deps deps-run deps-test deps-package configure run test test-plain test-asan package package-check package-check-chroot clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

# Each command installs only what it needs (see scripts/install-deps.sh for the lists).
deps: deps-test
deps-run:
	@scripts/install-deps.sh build runtime
deps-test:
	@scripts/install-deps.sh build runtime test
deps-package:
	@scripts/install-deps.sh build runtime package

configure: $(BUILD)/build.ninja

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) $(CMAKE_FLAGS)

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRAVO_SANITIZE=ON $(LAUNCHER) $(CMAKE_FLAGS)

# A first `make run` configures without the tests, whose packages it does not install;
# `make test` turns them on in the same folder.
run: deps-run
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF $(LAUNCHER) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target kestravo kestravo-record
	@if [ -x $(BUILD)/bin/kestravo ]; then exec $(BUILD)/bin/kestravo; else exec $(BUILD)/bin/kestravo-record --help; fi

# Every corpus is replayed by ctest in both builds; the fuzzers then run a few seconds each, from a
# fixed seed, so that a test run tries the same inputs each time (`make fuzz` explores freely).
test: deps-test
	@$(MAKE) --no-print-directory test-plain
	@$(MAKE) --no-print-directory test-asan
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(TEST_FUZZ_SECONDS) FUZZ_OPTIONS=-seed=1

test-plain: configure
	@if grep -q '^BUILD_TESTING:BOOL=OFF' $(BUILD)/CMakeCache.txt; then cmake -S . -B $(BUILD) -DBUILD_TESTING=ON; fi
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure --timeout 600 -j $(JOBS)

test-asan: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure --timeout 600 -j $(JOBS)

# Built as a distribution builds it: dpkg-buildpackage -us -uc -b on a clean copy of the tree in
# $(PACKAGE_OUT)/src, with the tests debian/rules runs; the packages are collected in $(PACKAGE_OUT).
# DEB_BUILD_OPTIONS=nocheck skips the tests.
package: deps-package
	packaging/build-deb.sh $(PACKAGE_OUT)

# Then lintian on the source and both packages, a second build in another folder compared byte for byte, and
# the smoke test of debian/tests against the installed packages (autopkgtest, which installs
# them on this machine, then purged again).
package-check: package
	lintian --fail-on error,warning --display-info --pedantic $(PACKAGE_OUT)/kestravo_*.changes $(PACKAGE_OUT)/kestravo_*.dsc
	/usr/bin/python3 tests/package/test_reproducible.py --against $(PACKAGE_OUT)
	tests/package/autopkgtest.sh $(PACKAGE_OUT)

# The source package built with its tests in a clean bookworm chroot that holds only the
# Build-Depends (made once by debootstrap in $(PACKAGE_CHROOT)/base, copied afresh each run), with
# no network during the build, as an ordinary user; the packages land in $(PACKAGE_OUT)-chroot.
# As root, on a machine that reaches a Debian mirror for the chroot and the Build-Depends.
package-check-chroot: deps-package
	packaging/build-deb.sh --chroot $(PACKAGE_CHROOT) $(PACKAGE_OUT)-chroot

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)

# Fuzzing: the libFuzzer targets of tests/fuzz, built by clang in their own folder with the
# sanitizers, each run FUZZ_SECONDS from its corpus (new inputs go to a temporary folder).
FUZZ_BUILD   ?= build-fuzz
FUZZ_CXX     ?= clang++
FUZZ_SECONDS ?= 60
FUZZ_OPTIONS ?=
FUZZ_TARGETS ?= record_codec text_to_int smtp_reply smtp_session smtp_auth parse_email composer_base64 manifest settings directip_confirmation
FUZZ_FLAGS   := -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer

.PHONY: fuzz
fuzz:
	@if ! command -v $(FUZZ_CXX) >/dev/null 2>&1; then echo "fuzz: skipped: clang not installed"; exit 0; fi; \
	if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' | \
	     $(FUZZ_CXX) -fsanitize=fuzzer -x c++ - -o /dev/null 2>/dev/null; then \
	  echo "fuzz: skipped: clang has no libFuzzer (package libclang-rt-14-dev)"; exit 0; fi; \
	set -e; \
	[ -f $(FUZZ_BUILD)/build.ninja ] || cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DKESTRAVO_FUZZ=ON $(LAUNCHER) "-DCMAKE_CXX_FLAGS=$(FUZZ_FLAGS)" \
	  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" $(CMAKE_FLAGS); \
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target kestravo_fuzzers; \
	export LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0; \
	status=0; for t in $(FUZZ_TARGETS); do \
	  tests/fuzz/run_fuzzer.sh $(FUZZ_BUILD)/bin/fuzz_$$t tests/fuzz/corpus/$$t $(FUZZ_SECONDS) $(FUZZ_OPTIONS) || status=1; \
	done; exit $$status
