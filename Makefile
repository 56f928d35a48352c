# Two commands for a fresh machine: `make run` (the main job) and `make test`.
# Both install what the machine lacks first (tools/install-deps.sh).

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD  = $(ASAN_BUILD)
FUZZ_SECONDS ?= 60
JOBS       ?= 2

.PHONY: all deps build kit package run docs sim test sanitize-build test-asan fuzz fuzz-build test-fuzz clean

all: build

deps:
	@./tools/install-deps.sh

# Host code (simulator, suites, tools) is built without optimisation: none of
# it is performance-critical. The images carry their own flags
# (cmake/EfiImage.cmake).
build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE= >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory

# The integrator kit, $(BUILD)/kit/ (also part of every build): the images,
# their dependency expressions, FFS files, binary-module INFs, README, SHA256SUMS.
kit: build
	@ls $(BUILD)/kit

# fwimage's Debian package, from an optimised build of fwimage alone:
# $(PACKAGE_BUILD)/package/fwimage_<version>_<arch>.deb.
PACKAGE_BUILD ?= build-package
package: deps
	@cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DBOARD_IMAGES=OFF -DBOARD_HOST=OFF >/dev/null
	@cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target fwimage -- --no-print-directory
	@cd $(PACKAGE_BUILD) && cpack >/dev/null && ls $(CURDIR)/$(PACKAGE_BUILD)/package/*.deb

# The main job: OVMF's own firmware image with the kit's two FFS files (and
# the test stand-ins) in its DXE volume, OVMF_BOARD.fd, booted under QEMU:
# the real DXE dispatcher and SMM core start the drivers. The boot report of
# the board scenario, in the order a board boots, with each Setup page before
# and after the driver's work as the firmware's form browser draws it
# (pictures and index.html in $(BUILD)/report). The other scenarios are
# ctests (the scenarios are firmware-tests/CMakeLists.txt's list, which
# writes make-run.sh).
run: build
	@sh $(BUILD)/firmware-tests/make-run.sh

# The README's picture pair (the option-ROM page), from make run's pictures.
docs: run
	@mkdir -p docs && cp $(BUILD)/report/setup-oprom-before.png $(BUILD)/report/setup-oprom-after.png docs/
	@ls docs/setup-oprom-*.png

# The simulated boot report: both drivers on the simulated board.
sim: build
	@$(BUILD)/tools/boardsim --riser --smm

# Every test, then the host suites again under ASan + UBSan (clang). Each run
# must have run every test tests/suite.list gives it (tests/check-ran.sh).
CHECK_RAN = tests/check-ran.sh tests/suite.list
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --output-junit $(CURDIR)/$(BUILD)/ctest.xml
	@$(CHECK_RAN) test $(BUILD)/ctest.xml
	@$(MAKE) --no-print-directory test-asan
	@$(MAKE) --no-print-directory test-fuzz

# One clang build, instrumented for ASan + UBSan and for libFuzzer: the host
# suites run in it (test-asan) and so do the fuzz targets (test-fuzz, fuzz).
sanitize-build: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DBOARD_FUZZ=ON -DBOARD_IMAGES=OFF \
	       -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS) -- --no-print-directory

test-asan: sanitize-build
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L host \
	    --output-junit $(CURDIR)/$(ASAN_BUILD)/ctest.xml
	@$(CHECK_RAN) asan $(ASAN_BUILD)/ctest.xml

fuzz-build: sanitize-build

# A short libFuzzer smoke run of every target (the CI share of the fuzzing).
test-fuzz: fuzz-build
	@cd $(FUZZ_BUILD) && ctest --output-on-failure -j $(JOBS) -L fuzz --output-junit $(CURDIR)/$(FUZZ_BUILD)/ctest-fuzz.xml
	@$(CHECK_RAN) fuzz $(FUZZ_BUILD)/ctest-fuzz.xml

# Longer fuzzing: FUZZ_SECONDS per target.
fuzz: fuzz-build
	@for t in $$(cd $(FUZZ_BUILD) && ctest -N -L fuzz | sed -n 's/.*Test *#[0-9]*: fuzz-//p'); do \
	  fuzz/run-fuzzer.sh $$(find $(FUZZ_BUILD)/fuzz -maxdepth 1 -name $$t -type f) fuzz/corpus/$$t $(FUZZ_SECONDS) || exit 1; \
	done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(PACKAGE_BUILD)
