# Tonewell: the two commands a user needs are `make demo` and `make test`.
BUILD ?= build
SAN_BUILD ?= build-sanitize
WIN_BUILD ?= build-windows
JOBS ?= $(shell nproc)
# Quiet builds: make's own directory lines and CMake's status lines say
# nothing a user needs; the compile progress and the results stay.
MAKEFLAGS += --no-print-directory
CONFIGURE = cmake --log-level=WARNING -S .

.PHONY: all deps build test demo bench test-sanitize install package windows windows-bench \
	windows-zip clean web serve-web

all: build

# Installs the Debian packages the build and the tests need, when any is missing.
deps:
	@bash tools/install-deps.sh

build: deps
	@$(CONFIGURE) -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	@cmake --build $(BUILD) -j $(JOBS)

# One line per test (on a terminal, one line that is redrawn); a failed test
# shows its output.
CTEST = ctest --output-on-failure --progress -j $(JOBS)
test: build
	@$(CTEST) --test-dir $(BUILD)

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer
# (debug information as line tables only: reports still name file and line,
# and the build takes a third less time).
test-sanitize: deps
	@$(CONFIGURE) -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
	  -DTONEWELL_SANITIZE=ON -DTONEWELL_BENCH=OFF
	@cmake --build $(SAN_BUILD) -j $(JOBS)
	@$(CTEST) --test-dir $(SAN_BUILD)

# Builds the program alone (not the tests and benchmarks), then plays.
demo: deps
	@$(CONFIGURE) -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	@cmake --build $(BUILD) -j $(JOBS) --target tonewell
	@bash tools/demo.sh

# Every benchmark program; one that fails, or a benchmark that could not run
# (reported as an error in its row), fails the target.
bench: build
	@for b in $(BUILD)/bench/*_bench; do \
	  echo "== $$b"; \
	  $$b --benchmark_out=$$b.json --benchmark_out_format=json || exit 1; \
	  if grep -q '"error_occurred": true' $$b.json; then \
	    echo "$$b: a benchmark could not run (ERROR OCCURRED above)"; exit 1; \
	  fi; \
	done

# Installs the programs, examples, manual pages and documents under PREFIX.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package tonewell_<version>_<arch>.deb, left in the project folder.
package: build
	cd $(BUILD) && cpack -G DEB
	cp $(BUILD)/tonewell_*.deb .

# Windows: $(WIN_BUILD)/tonewell.exe and the test programs, cross-built with
# MinGW-w64; GoogleTest is built from the sources Debian ships.
WIN_PACKAGES = cmake make mingw-w64 g++-mingw-w64-x86-64-posix googletest
WIN_CONFIGURE = $(CONFIGURE) -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release
windows:
	@bash tools/install-deps.sh $(WIN_PACKAGES)
	@$(WIN_CONFIGURE) -DTONEWELL_BENCH=OFF
	@cmake --build $(WIN_BUILD) -j $(JOBS)

# The release archive tonewell-<version>-win64.zip (the two programs, the
# examples, README.txt and LICENSE.txt; cmake/WindowsZip.cmake), left in the
# project folder. Builds the programs alone, not the tests.
windows-zip:
	@bash tools/install-deps.sh $(WIN_PACKAGES)
	@$(WIN_CONFIGURE)
	@cmake --build $(WIN_BUILD) -j $(JOBS) --target windows_zip
	@cp $(WIN_BUILD)/tonewell-*-win64.zip .

# The benchmarks of what differs on Windows (the outputs, the console view),
# cross-built into $(WIN_BUILD)/bench/ to run under Wine or on Windows.
windows-bench: windows
	@$(WIN_CONFIGURE) -DTONEWELL_BENCH=ON
	@cmake --build $(WIN_BUILD) -j $(JOBS) --target null_output_bench view_bench

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(WIN_BUILD) $(WEB_BUILD) $(WEB_BUILD)-obj

# The web page: make web, make serve-web (see web/web.mk).
include web/web.mk
