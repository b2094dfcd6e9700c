# Thin wrapper over CMake. `make demo` and `make test` install what is missing
# first, so both work on a fresh Debian machine (as root).
BUILD := build
MAKEFLAGS += --no-print-directory
# The product configuration sticks: make BUNDLE_KEY=path/to/key.txt builds
# with a product's own bundle key, make SIGNING_PUBKEY="keys/a.pub keys/b.pub"
# a launcher that runs only bundles signed by one of those minisign keys, and
# both stay in build/'s cache for every later make (test, demo, install, deb,
# mender-artifact) until given again. Given empty (make BUNDLE_KEY=), each
# goes back to the public default key or to no signing.
empty :=
space := $(empty) $(empty)
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=Release
ifneq ($(origin BUNDLE_KEY),undefined)
CMAKE_FLAGS += -DZOR_BUNDLE_KEY="$(if $(BUNDLE_KEY),$(abspath $(BUNDLE_KEY)))"
endif
ifneq ($(origin SIGNING_PUBKEY),undefined)
CMAKE_FLAGS += -DZOR_SIGNING_PUBKEYS="$(subst $(space),;,$(strip $(foreach k,$(SIGNING_PUBKEY),$(abspath $(k)))))"
endif

FUZZ_SECONDS ?= 30

.PHONY: all deps configure build test demo bench clean test-sanitize fuzz fuzz-smoke fuzz-long test-valgrind install deb mender-artifact
PREFIX ?= /usr/local

all: build

deps:
	@scripts/install-deps

# Prints the one line that names the configuration.
configure: deps
	@mkdir -p $(BUILD)
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >$(BUILD)/configure.log 2>&1 || { cat $(BUILD)/configure.log; exit 1; }
	@sed -n 's/^-- zor configuration/zor configuration/p' $(BUILD)/configure.log

build: configure
	@cmake --build $(BUILD) -j2

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

# Only what the demo needs: the launcher and the packer.
demo: configure
	@cmake --build $(BUILD) --target zor_update_whole_package zor_pack -j2
	@scripts/demo.sh

# make install [PREFIX=/usr/local] [DESTDIR=/staging]: either build; a
# default-key one with a warning.
install: build
	@scripts/check-bundle-key $(BUILD) warn "make install"
	cmake --install $(BUILD) --prefix $(PREFIX)

# make mender-artifact DEVICE_TYPE=... [PROCEDURE=dir] [NAME=...] [SIGNING_SECKEY=...] [ARTIFACT_KEY=...]
# [ALLOW_DEFAULT_KEY=1]: a procedure (default: the example) as a Mender
# artifact for the zor-bundle Update Module.
mender-artifact: configure
	@cmake --build $(BUILD) --target zor_pack -j2
	@BUILD=$(BUILD) DEVICE_TYPE="$(DEVICE_TYPE)" PROCEDURE="$(PROCEDURE)" NAME="$(NAME)" \
	  SIGNING_SECKEY="$(SIGNING_SECKEY)" ARTIFACT_KEY="$(ARTIFACT_KEY)" ALLOW_DEFAULT_KEY="$(ALLOW_DEFAULT_KEY)" \
	  scripts/mender-artifact.sh

# The .deb lands in build/; a default-key build is refused unless
# ALLOW_DEFAULT_KEY=1.
deb: build
	@ALLOW_DEFAULT_KEY="$(ALLOW_DEFAULT_KEY)" scripts/check-bundle-key $(BUILD) refuse "make deb"
	cd $(BUILD) && cpack -G DEB

# The whole suite built with AddressSanitizer + UndefinedBehaviorSanitizer;
# any report fails the run. The tests that build or package another tree
# (product build, signing, Mender, install, .deb) run in make test only.
test-sanitize: deps
	@cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOR_SANITIZE=ON -DZOR_BUILD_BENCH=OFF >/dev/null
	@cmake --build build-sanitize -j2
	cd build-sanitize && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -E 'Product|SignedBundles|Packaging|Mender'

# libFuzzer targets (clang++) in build-fuzz/.
fuzz: deps
	@cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
	  -DZOR_FUZZ=ON -DZOR_BUILD_TESTS=OFF -DZOR_BUILD_BENCH=OFF >/dev/null
	@cmake --build build-fuzz -j2

# Every target (the list is CMake's) for FUZZ_SECONDS over its committed corpus (new inputs go to
# a scratch corpus, the committed one is only read).
fuzz-smoke: fuzz
	@scripts/fuzz-run $(FUZZ_SECONDS) $$(cat build-fuzz/fuzz_targets.txt)

# The end-to-end launcher tests with the launcher under valgrind memcheck
# (not part of CI). Exit code 99 marks a memcheck error, so the tests'
# own expectations of 0, 1 and 207 stay meaningful; the still-reachable Lua
# state that the launcher keeps open by design (Lua's interior pointers make
# parts of it "possibly lost") is not an error; definite leaks are. Left out:
# the out-of-memory test, whose allocation-failure shim (LD_PRELOAD) cannot
# come before valgrind's own malloc, and the closed-descriptor test, whose
# launcher would receive valgrind's log on the descriptor it finds closed.
# Only memcheck's own "==PID==" lines count as errors.
VALGRIND_LEFT_OUT := Launcher.RunningOutOfMemoryAnywhereNeverAborts:Launcher.ClosedStandardDescriptorsNeverReceiveOutput
test-valgrind: build
	@command -v valgrind >/dev/null || apt-get install -y -qq valgrind >/dev/null
	@rm -rf $(BUILD)/valgrind && mkdir -p $(BUILD)/valgrind
	ZOR_TEST_WRAPPER="valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite -q --log-file=$(CURDIR)/$(BUILD)/valgrind/launcher.%p.log" \
	  $(BUILD)/zor_tests --gtest_filter='Launcher.*-$(VALGRIND_LEFT_OUT)'
	@if grep -l '^==[0-9]*==' $(BUILD)/valgrind/*.log; then echo "valgrind reported errors in the logs above"; exit 1; fi
	@echo "valgrind: $$(ls $(BUILD)/valgrind | wc -l) launcher runs checked, no errors, no definite leaks"

bench: build
	$(BUILD)/zor_bench

clean:
	rm -rf $(BUILD)
