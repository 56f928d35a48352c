# Two commands for a fresh machine: `make run` (the main job) and `make test`.
# Both install what the machine lacks first (tools/install-deps.sh): make run
# only what its boot needs, make test the rest.

BUILD      ?= build
FUZZ_SECONDS ?= 60
JOBS       ?= 2
# ctest runs one test more than the build runs jobs: the boots, the Shell
# prompts and the fuzzers' start leave gaps a third test fills (7 s less of
# about 110 here). A third compile at once only slows the build.
TEST_JOBS  ?= $(shell echo $$(($(JOBS) + 1)))

.PHONY: all deps deps-run configure build kit package run docs sim test fuzz clean

all: build

deps:
	@./tools/install-deps.sh test
deps-run:
	@./tools/install-deps.sh run

# One tree, built by clang: the images with their own flags
# (cmake/EfiImage.cmake); the host code (simulator, tools, suites, fuzz
# targets) once, under ASan + UBSan, which the host suites, the tools the kit
# and bench checks run and the fuzz targets share; g++ reads the drivers'
# sources. make run, when there is no tree yet, configures it for the boot
# alone (no host suites, no sanitizers); make test turns the rest on.
CONFIGURE = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_COMPILER=clang++
# Ninja builds the tree (a tenth less time than make's recursion); a tree a
# different generator configured is configured anew.
KEEP_NINJA_TREE = grep -qs '^CMAKE_GENERATOR:INTERNAL=Ninja$$' $(BUILD)/CMakeCache.txt || rm -rf $(BUILD)/CMakeCache.txt $(BUILD)/CMakeFiles
# glibc's heap on transparent huge pages for every tool the build and the
# tests start (clang, lld, clang-tidy, QEMU, ...): a tenth less compile time
# here, from fewer page faults and TLB misses; a kernel without them ignores
# it. A value the caller set is kept.
export GLIBC_TUNABLES ?= glibc.malloc.hugetlb=1
# The sanitizers stop at the first error; a leak fails the run.
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

configure: deps
	@$(KEEP_NINJA_TREE)
	@$(CONFIGURE) -DBOARD_HOST=ON -DBOARD_FUZZ=ON -DBOARD_GCC_CHECK=ON >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

$(BUILD)/CMakeCache.txt:
	@$(KEEP_NINJA_TREE)
	@$(CONFIGURE) -DBOARD_HOST=OFF -DBOARD_FUZZ=OFF -DBOARD_GCC_CHECK=OFF >/dev/null

# The integrator kit, $(BUILD)/kit/ (also part of every build): the images,
# their dependency expressions, FFS files, binary-module INFs, README, SHA256SUMS.
kit: build
	@ls $(BUILD)/kit

# fwimage's Debian package, from an optimised build of fwimage alone:
# $(PACKAGE_BUILD)/package/fwimage_<version>_<arch>.deb.
PACKAGE_BUILD ?= build-package
package: deps
	@cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DBOARD_IMAGES=OFF -DBOARD_HOST=OFF >/dev/null
	@cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target fwimage
	@cd $(PACKAGE_BUILD) && cpack >/dev/null && ls $(CURDIR)/$(PACKAGE_BUILD)/package/*.deb

# The main job: OVMF's own firmware image with the kit's two FFS files (and
# the test stand-ins) in its DXE volume, OVMF_BOARD.fd, booted under QEMU:
# the real DXE dispatcher and SMM core start the drivers. The boot report of
# the board scenario, in the order a board boots, with each Setup page before
# and after the driver's work as the firmware's form browser draws it
# (pictures and index.html in $(BUILD)/report). The other scenarios are
# ctests (the scenarios are firmware-tests/CMakeLists.txt's list, which
# writes make-run.sh). Builds what the boot needs: the images, fwimage, the
# kit, and of the bench the boot's firmware image, application and judge.
RUN_TARGETS = kit RunImage DispatchTests TraceJudge
run: deps-run $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j $(JOBS) --target $(RUN_TARGETS)
	@$(SANITIZER_ENV) sh $(BUILD)/firmware-tests/make-run.sh

# The README's picture pair (the option-ROM page), from make run's pictures.
docs: run
	@mkdir -p docs && cp $(BUILD)/report/setup-oprom-before.png $(BUILD)/report/setup-oprom-after.png docs/
	@ls docs/setup-oprom-*.png

# The simulated boot report: both drivers on the simulated board.
sim: build
	@$(BUILD)/tools/boardsim --riser --smm

# Every test in one ctest run: the host suites (under ASan + UBSan), fault
# sweeps, image and kit checks, the bench's boots, static analysis and a short
# libFuzzer run per target. The run must have run every test tests/suite.list
# names (tests/check-ran.sh).
test: build
	@cd $(BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $(TEST_JOBS) \
	    --output-junit $(CURDIR)/$(BUILD)/ctest.xml
	@tests/check-ran.sh tests/suite.list test $(BUILD)/ctest.xml

# Longer fuzzing: FUZZ_SECONDS per target, one after the other; each
# target's executions per second and coverage as it ends, and all of them
# again at the end.
fuzz: build
	@rm -f $(BUILD)/fuzz.summary
	@for t in $$(cd $(BUILD) && ctest -N -L fuzz | sed -n 's/.*Test *#[0-9]*: fuzz-//p'); do \
	  fuzz/run-fuzzer.sh $$(find $(BUILD)/fuzz -maxdepth 1 -name $$t -type f) fuzz/corpus/$$t $(FUZZ_SECONDS) \
	    > $(BUILD)/fuzz.last || { cat $(BUILD)/fuzz.last; exit 1; }; \
	  tee -a $(BUILD)/fuzz.summary < $(BUILD)/fuzz.last; \
	done
	@echo "== every target, $(FUZZ_SECONDS) s each:"; cat $(BUILD)/fuzz.summary

clean:
	rm -rf $(BUILD) $(PACKAGE_BUILD)
