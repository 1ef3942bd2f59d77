# make lint   ShellCheck on every shell script of the tree (found by its
#             first line), ruff on the Python (settings in pyproject.toml),
#             clang-tidy's bug-finding checks on all the C++: the module's
#             (hoststats, measure, boundary, module), the tests', the
#             fuzzers' and the benchmarks' (settings in .clang-tidy), and
#             mypy --strict on the benchmark driver's modules (bench/*.py),
#             which hand typed records from one job to the next. Each
#             tool runs even when an earlier one fails. LINT_SKIP="tools/x"
#             leaves those scripts out of ShellCheck.
# clang-tidy reads the compile commands of configured, never built, trees:
# build/lint (the dev and bench presets' sources) and build/lint-fuzz (the
# fuzz preset's, with clang-19 in place of the fuzzers' clang-14, which
# clang-tidy-19 brings along). It runs again only when a source it reads or
# its settings changed. It is clang-tidy-19, not 14: clang 14 cannot parse
# CPython 3.13's headers (no __atomic_load builtin) nor libstdc++ 12's
# <source_location> (no __builtin_source_location). Debian 12 and 13 both
# ship it. GoogleTest's and Google Benchmark's headers are in /usr/include,
# a system directory, so nothing of theirs is reported.
LINT_BUILD      := build/lint
LINT_FUZZ_BUILD := build/lint-fuzz
LINT_DEBS       := shellcheck clang-tidy-19 clang-19 libgtest-dev libbenchmark-dev
PIP_LINT        := ruff
# mypy reads psutil's types from typeshed's stubs, matplotlib's and
# pellun_core's from the packages themselves: the installed module and the
# test tools (mypy, matplotlib) come first.
PIP_LINT_TYPES  := types-psutil
LINT_PYTHON     := tests bench stubs tools
LINT_SKIP       ?=
TIDY_DIRS       := unicode hoststats measure boundary module tests/cpp tests/cpp/basics tests/dump \
                   tests/testext tests/shim bench
TIDY_SOURCES    := $(wildcard $(TIDY_DIRS:%=%/*.cpp))
TIDY_FUZZ       := $(wildcard fuzz/*.cpp)
TIDY_HEADERS    := $(wildcard $(TIDY_DIRS:%=%/*.hpp) fuzz/*.hpp)

.PHONY: lint

$(STAMPS)/lint-tools: $(STAMPS)/venv tools/install-debs
	tools/install-debs $(LINT_DEBS)
	$(PY) -m pip install -q $(PIP_LINT)
	@touch $@

$(STAMPS)/lint-types: $(STAMPS)/test-tools
	$(PY) -m pip install -q $(PIP_LINT_TYPES)
	@touch $@

$(LINT_BUILD)/compile_commands.json: $(STAMPS)/venv $(STAMPS)/lint-tools CMakeLists.txt \
                                     CMakePresets.json tests/CMakeLists.txt bench/CMakeLists.txt
	$(VENV_ENV) cmake --preset lint >/dev/null

$(LINT_FUZZ_BUILD)/compile_commands.json: $(STAMPS)/venv $(STAMPS)/lint-tools CMakeLists.txt \
                                          CMakePresets.json fuzz/CMakeLists.txt
	$(VENV_ENV) cmake --preset lint-fuzz >/dev/null

# $(call run-tidy,TREE,SOURCES): clang-tidy on SOURCES with TREE's compile
# commands; on findings, prints them and fails.
define run-tidy
run-clang-tidy-19 -quiet -use-color=false -p $1 -j $(JOBS) $(2:%=$(CURDIR)/%) > $1/tidy.log 2>&1 \
  || { grep -vE '^\[ *[0-9]+/[0-9]+\]|^Running clang-tidy|warnings generated|^$$' $1/tidy.log; exit 1; }
endef

$(LINT_BUILD)/tidy.ok: $(STAMPS)/lint-tools $(LINT_BUILD)/compile_commands.json \
                       $(LINT_FUZZ_BUILD)/compile_commands.json .clang-tidy \
                       $(TIDY_SOURCES) $(TIDY_FUZZ) $(TIDY_HEADERS)
	@rm -f $@
	$(call run-tidy,$(LINT_BUILD),$(TIDY_SOURCES))
	$(call run-tidy,$(LINT_FUZZ_BUILD),$(TIDY_FUZZ))
	@echo "clang-tidy: $(words $(TIDY_SOURCES) $(TIDY_FUZZ)) files clean"
	@touch $@

lint: $(STAMPS)/lint-tools $(STAMPS)/lint-types $(STAMPS)/install
	@status=0; \
	scripts=$$(git grep -nIE '^#!.*(/|env )(ba|da)?sh( |$$)' | \
	  awk -F: -v skip=" $(LINT_SKIP) " '$$2 == 1 && !index(skip, " " $$1 " ") { print $$1 }'); \
	shellcheck -x $$scripts && echo "shellcheck: $$(wc -w <<< $$scripts) scripts clean" || status=1; \
	$(VENV)/bin/ruff check -q $(LINT_PYTHON) && echo "ruff: clean" || status=1; \
	$(PY) -m mypy --strict --cache-dir build/mypy bench && echo "mypy: bench clean" || status=1; \
	$(MAKE) --no-print-directory $(LINT_BUILD)/tidy.ok || status=1; \
	exit $$status
