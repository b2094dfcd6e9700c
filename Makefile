# Thin wrapper over CMake. `make demo` and `make test` install what is missing
# first, so both work on a fresh Debian machine (as root).
BUILD := build
MAKEFLAGS += --no-print-directory
# The product configuration sticks: make BUNDLE_KEY=path/to/key.txt builds
# with a product's own bundle key, make SIGNING_PUBKEY="keys/a.pub keys/b.pub"
# a launcher that runs only bundles signed by one of those minisign keys, and
# both stay in build/'s cache for every later make (test, demo, install, deb,
# mender-artifact, clean) until given again. Given empty (make BUNDLE_KEY=),
# each goes back to the public default key or to no signing. Only the make
# command line configures: BUNDLE_KEY, SIGNING_PUBKEY and ALLOW_DEFAULT_KEY
# taken from the environment are ignored, with a warning.
empty :=
space := $(empty) $(empty)
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=Release
given = $(filter command line,$(origin $(1)))
$(foreach v,BUNDLE_KEY SIGNING_PUBKEY ALLOW_DEFAULT_KEY,$(if $(filter environment%,$(origin $(v))),\
  $(warning $(v) from the environment is ignored: only the make command line configures (make $(v)=...))))
ifneq ($(call given,BUNDLE_KEY),)
CMAKE_FLAGS += -DZOR_BUNDLE_KEY="$(if $(BUNDLE_KEY),$(abspath $(BUNDLE_KEY)))"
endif
ifneq ($(call given,SIGNING_PUBKEY),)
CMAKE_FLAGS += -DZOR_SIGNING_PUBKEYS="$(subst $(space),;,$(strip $(foreach k,$(SIGNING_PUBKEY),$(abspath $(k)))))"
endif
# What the packaging scripts are told: the command line's value or nothing.
ALLOW := $(if $(call given,ALLOW_DEFAULT_KEY),$(ALLOW_DEFAULT_KEY))

FUZZ_SECONDS ?= 30

.PHONY: test-vm all deps test-deps configure test-configure build build-all keytool test demo bench clean distclean test-sanitize fuzz fuzz-smoke fuzz-long test-valgrind install deb mender-artifact
PREFIX ?= /usr/local

all: build

# What a build needs; test-deps adds what the tests, the benchmark and the
# sanitizer and fuzz runs need.
deps:
	@scripts/install-deps build
test-deps:
	@scripts/install-deps test

# Prints the one line that names the configuration. The tests and the
# benchmark are configured only where their packages are installed.
define configure_tree
	@mkdir -p $(BUILD)
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >$(BUILD)/configure.log 2>&1 || { cat $(BUILD)/configure.log; exit 1; }
	@sed -n 's/^-- zor configuration/zor configuration/p; s/^-- zor tests/zor tests/p' $(BUILD)/configure.log
endef
configure: deps
	$(configure_tree)
test-configure: test-deps
	$(configure_tree)

# The product: the launcher, the tools, their man pages and the installed
# libraries; no test or benchmark program.
PRODUCT_TARGETS := zor_update_whole_package zor_stream zor_pack zor_keytool manpages zorcore zorsig
build: configure
	@cmake --build $(BUILD) --target $(PRODUCT_TARGETS) -j2

# Everything CMake knows, tests and benchmark included.
build-all: test-configure
	@cmake --build $(BUILD) -j2

# The key tool alone: a product key can be made before the first build.
keytool: configure
	@cmake --build $(BUILD) --target zor_keytool -j2
	@echo "$(BUILD)/zor_keytool"

# The suite writes no package or artifact where make deb and make
# mender-artifact put theirs.
test: build-all
	@ls $(BUILD) >$(BUILD)/.outputs-before
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j2
	@ls $(BUILD) | grep -E '\.(deb|mender)$$' | grep -vxF -f $(BUILD)/.outputs-before \
	  | sed 's|^|make test left a package in $(BUILD)/: |' | grep . && exit 1 || :

# Only what the demo needs: the launcher and the packer.
demo: configure
	@cmake --build $(BUILD) --target zor_update_whole_package zor_pack -j2
	@scripts/demo.sh

# make install [PREFIX=/usr/local] [DESTDIR=/staging]: either build; a
# default-key one with a warning.
install: build
	@scripts/check-bundle-key $(BUILD) warn "make install"
	cmake --install $(BUILD) --prefix $(PREFIX)

# make mender-artifact DEVICE_TYPE=... [VERSION=N] [PROCEDURE=dir] [NAME=...] [SIGNING_SECKEY=...] [ARTIFACT_KEY=...]
# [PAYLOADS="NAME=FILE ..."] [COMPRESS=zstd]
# [ALLOW_DEFAULT_KEY=1]: a procedure (default: the example) as a Mender
# artifact for the zor-bundle Update Module.
mender-artifact: configure
	@cmake --build $(BUILD) --target zor_pack -j2
	@BUILD=$(BUILD) DEVICE_TYPE="$(DEVICE_TYPE)" VERSION="$(VERSION)" PROCEDURE="$(PROCEDURE)" NAME="$(NAME)" \
	  SIGNING_SECKEY="$(SIGNING_SECKEY)" ARTIFACT_KEY="$(ARTIFACT_KEY)" ALLOW_DEFAULT_KEY="$(ALLOW)" \
	  PAYLOADS="$(PAYLOADS)" COMPRESS="$(COMPRESS)" scripts/mender-artifact.sh

# The .deb lands in build/; a default-key build is refused unless
# ALLOW_DEFAULT_KEY=1.
deb: build
	@ALLOW_DEFAULT_KEY="$(ALLOW)" scripts/check-bundle-key $(BUILD) refuse "make deb"
	cd $(BUILD) && cpack -G DEB

# The whole suite built with AddressSanitizer + UndefinedBehaviorSanitizer;
# any report fails the run. The tests that build or package another tree
# (product build, signing, Mender, install, .deb) run in make test only.
test-sanitize: test-deps
	@cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOR_SANITIZE=ON -DZOR_BUILD_BENCH=OFF \
	  -DZOR_BUNDLE_KEY= -DZOR_SIGNING_PUBKEYS= | sed -n 's/^-- zor configuration/build-sanitize: zor configuration/p' 
	@cmake --build build-sanitize -j2
	cd build-sanitize && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -E 'Product|SignedBundles|Packaging|Mender'

# libFuzzer targets (clang++) in build-fuzz/.
fuzz: test-deps
	@cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
	  -DZOR_FUZZ=ON -DZOR_BUILD_TESTS=OFF -DZOR_BUILD_BENCH=OFF -DZOR_BUNDLE_KEY= -DZOR_SIGNING_PUBKEYS= \
	  | sed -n 's/^-- zor configuration/build-fuzz: zor configuration/p' 
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
test-valgrind: build-all
	@command -v valgrind >/dev/null || apt-get install -y -qq valgrind >/dev/null
	@rm -rf $(BUILD)/valgrind && mkdir -p $(BUILD)/valgrind
	ZOR_TEST_WRAPPER="valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite -q --log-file=$(CURDIR)/$(BUILD)/valgrind/launcher.%p.log" \
	  $(BUILD)/zor_tests --gtest_filter='Launcher.*-$(VALGRIND_LEFT_OUT)'
	@if grep -l '^==[0-9]*==' $(BUILD)/valgrind/*.log; then echo "valgrind reported errors in the logs above"; exit 1; fi
	@echo "valgrind: $$(ls $(BUILD)/valgrind | wc -l) launcher runs checked, no errors, no definite leaks"

# A/B boots under real GRUB and U-Boot in QEMU (KVM where it answers, else
# TCG); the disk images and U-Boot are built once into ZOR_VM_CACHE,
# outside the clone. Then a device under the Mender client, with this
# build's package: deployments under both loaders, and power cuts at the
# client's state edges (under GRUB: the loader's part is the same).
ZOR_VM_CACHE ?= /var/cache/zor-update-vm
test-vm: build
	@scripts/install-deps vm
	@mkdir -p $(ZOR_VM_CACHE)
	sh tests/test_vm_boot.sh $(CURDIR) $(ZOR_VM_CACHE) grub
	sh tests/test_vm_boot.sh $(CURDIR) $(ZOR_VM_CACHE) uboot
	sh tests/test_vm_boot.sh $(CURDIR) $(ZOR_VM_CACHE) grub $(BUILD) cuts
	sh tests/test_vm_boot.sh $(CURDIR) $(ZOR_VM_CACHE) uboot $(BUILD)

bench: test-configure
	@cmake --build $(BUILD) --target zor_bench zor_update_whole_package zor_stream zor_pack -j2
	$(BUILD)/zor_bench
	python3 bench/payload_bench.py $(BUILD)

# Removes the build outputs and keeps the configuration (CMake's clean).
clean:
	@if [ -f $(BUILD)/CMakeCache.txt ]; then cmake --build $(BUILD) --target clean; fi

# Removes build/ and, with it, the configuration: the next make is a
# default-key build unless BUNDLE_KEY is given again.
distclean:
	@if [ -f $(BUILD)/CMakeCache.txt ]; then sed -n 's/^-- zor configuration/removing build\/ and its configuration/p' $(BUILD)/configure.log; fi
	rm -rf $(BUILD) build-sanitize build-fuzz
