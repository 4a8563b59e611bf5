# Corvane: the two set-up commands are `make run` and `make test`.
# Both install what is missing (scripts/install-deps), configure and build:
# `make run` only what building and running need, `make test` also what the
# tests, benchmarks and fuzzing add (scripts/install-deps --tests).

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 25
# Further readers of outside files, fuzzed briefly each.
FUZZ_MORE ?= tessel_scan tessel_script tessel_hwinfo xlsx ota_inspect
FUZZ_SECONDS_MORE ?= 8
# Every other reader of outside bytes, a few seconds each in `make test`.
FUZZ_READERS ?= fir_image fir_page_file panel_record slave_info stampa_codes ddrconf register_script \
  keymap rc_record cfg_ini rfc2217 upg_replies xlsx_parts
FUZZ_SECONDS_READERS ?= 3
# `make fuzz-long` runs this many targets at once, each until FUZZ_SECONDS
# or FUZZ_RUNS inputs, whichever comes first (0: no input limit).
FUZZ_RUNS ?= 0
FUZZ_JOBS ?= $(shell nproc)
JOBS       ?= 2
# The tests mostly wait on the (virtual) serial line, not on the processor,
# so more of them run at once than there are cores.
TEST_JOBS  ?= 6
GENERATOR  ?= Ninja
# Debug information: line tables only (file and line in every backtrace and
# sanitizer report), which builds about a third faster than full -g.
LINE_DEBUG  = -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1
# A build that runs beside tests (make test) gives way to them.
NICE       ?=

WIN_BUILD  ?= build-windows
WIN_DEPS   ?= .cache/windows-deps
WIN_ZIP    ?= dist/corvane-windows-x64.zip

.PHONY: windows deps-windows build-windows test-windows
.PHONY: all deps deps-test configure configure-test build build-tests build-programs build-asan test test-main test-asan test-fuzz build-fuzz fuzz-long fuzz-minimise run clean

all: build

deps:
	@bash scripts/install-deps

deps-test:
	@bash scripts/install-deps --tests

# A first configuration leaves the tests out; `make test` turns them on.
configure: deps
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LINE_DEBUG) -DCORVANE_TESTS=OFF

configure-test: deps-test
	@grep -qs '^CORVANE_TESTS:BOOL=ON' $(BUILD)/CMakeCache.txt && test -f $(BUILD)/build.ninja || \
	  cmake -S . -B $(BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LINE_DEBUG) -DCORVANE_TESTS=ON

build: configure
	cmake --build $(BUILD) -j $(JOBS)

build-tests: configure-test
	cmake --build $(BUILD) -j $(JOBS)

# Only what `make run` starts: the programs, the tool plug-ins and the virtual
# STB's stand-in files (tests and benchmarks are built by `make test`).
build-programs: configure
	@echo "make run: building corvane, corvane-cli, the tool plug-ins and the virtual STB (tests are built by make test) ..."
	@cmake --build $(BUILD) --target corvane-programs -j $(JOBS)

# The Qt-free layers and their tests, built again with AddressSanitizer and UBSan.
build-asan: deps-test
	@test -f $(ASAN_BUILD)/build.ninja || cmake -S . -B $(ASAN_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug $(LINE_DEBUG) -DCORVANE_QT=OFF -DCORVANE_SANITIZE=ON
	$(NICE) cmake --build $(ASAN_BUILD) -j $(JOBS)

test-main: build-tests
	cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS) --timeout 600

# The noise soak of dumps mostly waits out the dumps' read time-outs: it runs
# in the main build only.
test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(TEST_JOBS) --timeout 900 -E '^soak_short_dump$$'

# The libFuzzer targets (clang) and the .xls reader's seeds, python3-xlwt
# workbooks. Each target's working corpus (build-fuzz/corpus-<target>) stays
# for the next run; fuzz/run_fuzz.py also reads the kept corpus in fuzz/.
build-fuzz: deps-test
	@test -f $(FUZZ_BUILD)/build.ninja || CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -G $(GENERATOR) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LINE_DEBUG) -DCORVANE_QT=OFF -DCORVANE_FUZZ=ON \
	  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined"
	$(NICE) cmake --build $(FUZZ_BUILD) --target fuzz_xls $(foreach t,$(FUZZ_MORE) $(FUZZ_READERS),fuzz_$(t) fuzz_$(t)_smoke) -j $(JOBS)
	/usr/bin/python3 fuzz/workbook/make_seeds.py $(FUZZ_BUILD)/corpus-xls

# Every target briefly, $(JOBS) at a time.
test-fuzz: build-fuzz
	/usr/bin/python3 fuzz/run_fuzz.py --build $(FUZZ_BUILD) --jobs $(JOBS) xls:$(FUZZ_SECONDS) \
	  $(foreach t,$(FUZZ_MORE),$(t):$(FUZZ_SECONDS_MORE)) $(foreach t,$(FUZZ_READERS),$(t):$(FUZZ_SECONDS_READERS))

# Every target for FUZZ_SECONDS (e.g. `make fuzz-long FUZZ_SECONDS=3600`), on
# all cores; a table of executions and findings per target at the end.
fuzz-long: build-fuzz
	/usr/bin/python3 fuzz/run_fuzz.py --build $(FUZZ_BUILD) --jobs $(FUZZ_JOBS) --runs $(FUZZ_RUNS) \
	  $(foreach t,xls $(FUZZ_MORE) $(FUZZ_READERS),$(t):$(FUZZ_SECONDS))

# Folds what fuzz-long found into the kept corpora of the source tree, each
# minimised to the inputs that reach its coverage (commit them afterwards).
fuzz-minimise: build-fuzz
	/usr/bin/python3 fuzz/run_fuzz.py --build $(FUZZ_BUILD) --minimise xls $(FUZZ_MORE) $(FUZZ_READERS)

# corvane-cli.exe for 64-bit Windows: MinGW-w64 and Debian's sources for the
# libraries (built once into $(WIN_DEPS)), then the program and its zip. The
# STB-side stand-in files come from the Linux build's virtual STB.
deps-windows:
	@bash scripts/install-deps --windows

build-windows: deps-windows
	@$(NICE) bash scripts/build-windows-deps $(WIN_DEPS)
	@test -f $(WIN_BUILD)/build.ninja || cmake -S . -B $(WIN_BUILD) -G $(GENERATOR) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCORVANE_WINDOWS_DEPS=$(abspath $(WIN_DEPS))/prefix \
	  -DCMAKE_BUILD_TYPE=Release -DCORVANE_QT=OFF -DCORVANE_TESTS=OFF
	$(NICE) cmake --build $(WIN_BUILD) --target corvane-cli corvane-host-check corvane-host-check-plugin -j $(JOBS)

windows: build-windows configure
	cmake --build $(BUILD) --target corvane-stb-files -j $(JOBS)
	@bash scripts/pack-windows $(WIN_BUILD)/bin/corvane-cli.exe $(BUILD)/stb-files $(WIN_DEPS) $(WIN_ZIP)

# The Windows program under Wine against the virtual STB, and its file
# outputs against the Linux program's.
test-windows: build-windows build-tests
	/usr/bin/python3 tests/windows/wine_cli_test.py $(WIN_BUILD)/bin/corvane-cli.exe $(BUILD)/bin/corvane-cli \
	  $(BUILD)/bin/stbsim $(WIN_BUILD)/wineprefix

# The tests mostly wait on serial lines and leave a core idle: each batch of
# tests runs beside the next build, which runs only on what the tests leave
# (SCHED_IDLE), so that it never delays a test's reply. A batch's output is
# shown when it ends.
BESIDE = $(MAKE) --no-print-directory -j2 --output-sync=recurse NICE="chrt --idle 0"

test: deps-test
	$(MAKE) --no-print-directory build-tests
	$(BESIDE) test-main build-asan
	$(BESIDE) test-asan build-windows
	$(BESIDE) test-windows build-fuzz
	$(MAKE) --no-print-directory test-fuzz

run: build-programs
	@bash scripts/run-main $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(WIN_BUILD)
