# Hardening: fuzzing of the /proc and /sys parsers, and the test suites under
# the sanitizers.
#
# make fuzz         every fuzz target for FUZZ_SECONDS each (default 60);
#                   FUZZ_TARGETS=... picks some
# make fuzz-ci      every fuzz target for FUZZ_CI_SECONDS each (default 10)
# make fuzz-corpus  minimises fuzz/corpus with what the runs found
# make test-asan    the C++ suite (LeakSanitizer on) and the Python suite
#                   against builds with AddressSanitizer and UBSan
# make test-tsan    the C++ suite under ThreadSanitizer

.PHONY: fuzz fuzz-ci fuzz-build fuzz-corpus test-asan asan-build asan-cpp-test asan-py-test \
        test-tsan tsan-build

FUZZ_SECONDS    ?= 60
FUZZ_CI_SECONDS ?= 10
FUZZ_TARGETS    ?=
FUZZ_BUILD      := build/fuzz
FUZZ_CXX        ?= clang++-14
FUZZ_DEBS       := clang-14 libclang-rt-14-dev

$(STAMPS)/fuzz-debs: tools/install-debs
	@mkdir -p $(STAMPS)
	tools/install-debs $(FUZZ_DEBS)
	@touch $@

fuzz-build: $(STAMPS)/venv $(STAMPS)/fuzz-debs
	$(VENV_ENV) cmake --preset fuzz -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) >/dev/null
	$(VENV_ENV) cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	fuzz/run-fuzzers $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-ci: fuzz-build
	fuzz/run-fuzzers $(FUZZ_BUILD) $(FUZZ_CI_SECONDS) $(FUZZ_TARGETS)

fuzz-corpus: fuzz-build
	fuzz/run-fuzzers --merge $(FUZZ_BUILD) $(FUZZ_TARGETS)

# --- AddressSanitizer and UBSan ------------------------------------------------
# gcc's runtimes (libasan, libubsan) come with g++. Any undefined behaviour
# fails the run instead of printing and going on.
ASAN_BUILD := build/asan
# Under build/, so that git leaves it alone.
ASAN_VENV  := build/venv-asan
ASAN_PY    := $(ASAN_VENV)/bin/python
ASAN_ENV    = PATH="$(CURDIR)/$(ASAN_VENV)/bin:$$PATH"
UBSAN_ENV  := UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The runtimes the interpreter starts with (see asan-py-test).
ASAN_PRELOAD = $$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)
# procps's tools deadlock in their start-up with the ASan runtime preloaded;
# the tests that run them get wrappers that start them without it.
ASAN_NO_PRELOAD := ps free

# The stamp lives in the venv: removing the venv brings it back whole.
$(ASAN_VENV)/.installed: $(STAMPS)/debs tools/find-python
	$(call make-venv,$(ASAN_VENV),$(PIP_BUILD) $(PIP_TEST))
	@touch $@

# The sanitizers' flags are the "asan" configure preset's.
asan-build: $(ASAN_VENV)/.installed
	$(ASAN_ENV) cmake --preset asan >/dev/null
	$(ASAN_ENV) cmake --build $(ASAN_BUILD) -j $(JOBS)
	@# The sanitized module takes the place of an installed one in its own venv,
	@# and of whatever an earlier install there left.
	site=$$($(ASAN_PY) -c 'import sysconfig; print(sysconfig.get_path("platlib"))') && \
	  rm -rf "$$site"/pellun_core* && \
	  $(ASAN_ENV) cmake --install $(ASAN_BUILD) --prefix "$$site" >/dev/null

# LeakSanitizer runs here: no interpreter allocates behind these tests.
asan-cpp-test: asan-build
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 $(UBSAN_ENV) \
	  $(ASAN_ENV) ctest --output-on-failure -j $(JOBS)

# CPython itself is not built with ASan: its runtime is preloaded so that it
# comes first, and objects go through malloc so that ASan sees every one.
# libstdc++ is preloaded beside it: the runtime looks up the C++ throw it
# wraps when it starts, before the interpreter loads any C++ module.
# Leaks are not checked here, the interpreter keeps much alive at exit.
asan-py-test: asan-build
	@mkdir -p $(ASAN_BUILD)/no-preload-bin
	@for tool in $(ASAN_NO_PRELOAD); do \
	  real=$$(command -v $$tool) || { echo "$$tool is not installed" >&2; exit 1; }; \
	  printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$$@"\n' "$$real" > $(ASAN_BUILD)/no-preload-bin/$$tool; \
	  chmod +x $(ASAN_BUILD)/no-preload-bin/$$tool; done
	PATH="$(CURDIR)/$(ASAN_BUILD)/no-preload-bin:$$PATH" \
	  LD_PRELOAD="$(ASAN_PRELOAD)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0 $(UBSAN_ENV) PELLUN_BUILD=$(CURDIR)/$(ASAN_BUILD) \
	  $(ASAN_PY) -m pytest -q

test-asan: asan-cpp-test asan-py-test

# --- ThreadSanitizer -------------------------------------------------------------
TSAN_BUILD := build/tsan
# The C++ test programs: one per file of tests/cpp, and test_basics for
# tests/cpp/basics.
TSAN_TESTS := test_basics $(patsubst tests/cpp/%.cpp,%,$(wildcard tests/cpp/test_*.cpp))

tsan-build: $(STAMPS)/venv
	$(VENV_ENV) cmake --preset tsan >/dev/null
	$(VENV_ENV) cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS)

# ThreadSanitizer's shadow memory needs the address layout it was built for;
# setarch -R turns off the randomisation that newer kernels widen past it.
test-tsan: tsan-build
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(VENV_ENV) setarch "$$(uname -m)" -R ctest --output-on-failure -j $(JOBS)
