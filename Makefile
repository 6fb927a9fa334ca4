# Front door to the CMake build. Each target installs what it needs first.
BUILD ?= build
JOBS ?= $(shell nproc)
STAGE := $(CURDIR)/$(BUILD)/stage
PREFIX ?= /opt/qor/vanto/rte/usr
DESTDIR ?=
# Every configuration the developers' targets make fails on a warning; a plain
# `cmake -S . -B dir` does not (TANDRO_WERROR is off by default).
CONFIGURE := cmake -S . -DTANDRO_WERROR=ON

.PHONY: all deps lint build native test test-asan races fuzz fuzz-smoke faults faults-asan load demo demo-session clean format

all: build

# The dependency check runs once per build directory, and again when the
# script changes; `make deps` runs it anyway.
DEPS := $(BUILD)/deps.stamp
$(DEPS): scripts/install-deps.sh
	@bash scripts/install-deps.sh
	@mkdir -p $(@D) && touch $@

deps:
	@rm -f $(DEPS)
	@$(MAKE) -s $(DEPS)

# Formatting, shellcheck and clang-tidy over the tree (scripts/lint.sh), with
# the native configuration's compile commands. CI runs it first.
lint: $(DEPS)
	JOBS=$(JOBS) bash scripts/lint.sh $(BUILD)/native

# The shipped 32-bit tree, staged at build/stage: what make demo, make load and
# make install use.
build: $(DEPS)
	$(CONFIGURE) -B $(BUILD)/m32 -DTANDRO_M32=ON -DTANDRO_STAGE_DIR=$(STAGE) >/dev/null
	cmake --build $(BUILD)/m32 -j$(JOBS)

# The native tree (64-bit on x86-64), staged at build/native/stage: what the
# amd64 package holds.
native: $(DEPS)
	$(CONFIGURE) -B $(BUILD)/native -DTANDRO_M32=OFF >/dev/null
	cmake --build $(BUILD)/native -j$(JOBS)

test: build native
	ctest --test-dir $(BUILD)/m32 --output-on-failure -j$(JOBS)
	ctest --test-dir $(BUILD)/native --output-on-failure -j$(JOBS)

# Every sanitizer report, also one from a process whose standard error a test
# throws away, lands in a file under SANITIZER_LOGS; any file there fails the run,
# except one that only notes an allocation the engine test makes fail on purpose
# (that test alone lets the allocator return null).
SANITIZER_LOGS := $(CURDIR)/$(BUILD)/asan/sanitizer-logs
SANITIZER_ENV := ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:log_path=$(SANITIZER_LOGS)/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(SANITIZER_LOGS)/ubsan

test-asan: $(DEPS)
	$(CONFIGURE) -B $(BUILD)/asan -DTANDRO_M32=OFF -DTANDRO_SANITIZE=ON >/dev/null
	cmake --build $(BUILD)/asan -j$(JOBS)
	rm -rf $(SANITIZER_LOGS) && mkdir -p $(SANITIZER_LOGS)
	$(SANITIZER_ENV) ctest --test-dir $(BUILD)/asan --output-on-failure -j$(JOBS)
	@reports=$$(grep -lvE '^(==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes)?$$' \
		$(SANITIZER_LOGS)/* 2>/dev/null); \
	if [ -n "$$reports" ]; then echo "sanitizer reports:" >&2; cat $$reports >&2; exit 1; fi

# The whole-program rows that race another process (tests/cli/shared.table)
# repeat their action 200 times instead of 20, on the native build; minutes,
# so not in CI.
races: native
	RACE_RUNS=200 ctest --test-dir $(BUILD)/native -R '^cli[.]shared$$' --output-on-failure

# libFuzzer targets (clang, native): each runs FUZZ_SECONDS on its seeds.
FUZZ_SECONDS ?= 60
fuzz: $(DEPS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run.sh $(CURDIR)/$(BUILD)/fuzz

fuzz-smoke: $(DEPS)
	FUZZ_SECONDS=10 bash fuzz/run.sh $(CURDIR)/$(BUILD)/fuzz

# Each deliberate fault of tests/faults/faults.list alone, against the tests
# that should notice it, in build/faults (an hour or more; not in CI):
# `make faults`, `make faults-asan` (a sanitizer report counts as caught),
# FAULTS=REGEX for the rows that match.
faults: $(DEPS)
	python3 tests/faults/run.py --only '$(FAULTS)' $(BUILD)/faults

faults-asan: $(DEPS)
	python3 tests/faults/run.py --asan --only '$(FAULTS)' $(BUILD)/faults

# Load runs outside CI on the shipped program: many operands, many runs, a
# 5 GiB sparse file, a slow producer and consumer (several minutes).
load: build
	bash tests/load/run.sh $(STAGE)/usr/bin/tandro

# The session README.md shows under `make demo` (a test runs it and compares).
demo: build
	@$(MAKE) -s demo-session DEMO_DIR=$(CURDIR)/$(BUILD)/demo

DEMO_DIR ?= $(CURDIR)/$(BUILD)/demo
demo-session:
	@mkdir -p $(DEMO_DIR) && cp samples/hello.txt $(DEMO_DIR)/
	@cd $(DEMO_DIR) && export PATH="$(STAGE)/usr/bin:$$PATH" && \
	for c in 'tandro -v -v -T hello.txt' 'vfsmake -i hello.txt dox,recfm=vb:hello.vb' \
		'tandro -v -T dox,recfm=vb:hello.vb'; do \
		echo "$$ $$c"; bash -c "$$c" 2>&1 | cat; done

# tandro beside cat, cp, dd, pv, busybox and fold on 1 GiB inputs (bench/run.sh):
# bench/results/latest.md and latest.png. Takes a while; not for CI.
bench: build
	STAGE=$(STAGE) bash bench/run.sh

# The same on 16 MiB inputs, one round: fails only when a command fails or
# writes other bytes than expected, never on times.
bench-smoke: build
	STAGE=$(STAGE) bash bench/run.sh --smoke

.PHONY: bench bench-smoke

.PHONY: install package

# The shipped 32-bit tree: bin/, lib/, include/ and share/man/ under
# $(DESTDIR)$(PREFIX).
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)/m32 --prefix "$(PREFIX)"

# build/package/: from the shipped 32-bit tree tandro-<version>-i386.tar.gz
# (unpack anywhere) and the i386 .deb, from the native tree the same for amd64;
# for each architecture the debug symbols, *-debug.tar.gz.
package: build native
	cd $(BUILD)/m32 && cpack -B "$(CURDIR)/$(BUILD)/package" >/dev/null
	cd $(BUILD)/native && cpack -B "$(CURDIR)/$(BUILD)/package" >/dev/null
	@ls -l $(BUILD)/package/*.tar.gz $(BUILD)/package/*.deb

format:
	clang-format -i $$(git ls-files '*.c' '*.cc' '*.cpp' '*.h')

clean:
	rm -rf $(BUILD)
