# Thin wrapper over CMake. `make demo` and `make test` install what is missing
# first, so both work on a fresh Debian machine (as root).
BUILD := build
MAKEFLAGS += --no-print-directory
# make BUNDLE_KEY=path/to/key.txt builds with a product's own bundle key;
# without it the repository's default key is used.
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=Release -DZOR_BUNDLE_KEY="$(if $(BUNDLE_KEY),$(abspath $(BUNDLE_KEY)))"

.PHONY: all deps configure build test demo bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j2

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

demo: build
	@scripts/demo.sh

bench: build
	$(BUILD)/zor_bench

clean:
	rm -rf $(BUILD)
