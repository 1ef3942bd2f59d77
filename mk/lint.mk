# make lint   ShellCheck on every shell script of the tree (found by its
#             first line), ruff on the Python (settings in pyproject.toml),
#             clang-tidy's bug-finding checks on the C++ of hoststats,
#             measure, boundary and module (settings in .clang-tidy). Each
#             tool runs even when an earlier one fails. LINT_SKIP="tools/x"
#             leaves those scripts out of ShellCheck.
# clang-tidy reads the compile commands of a configured, never built, tree in
# build/lint, and runs again only when a source it reads or its settings
# changed. It is clang-tidy-19, not the fuzzers' 14: clang 14 cannot parse
# CPython 3.13's headers (no __atomic_load builtin) nor libstdc++ 12's
# <source_location> (no __builtin_source_location). Debian 12 and 13 both
# ship it.
LINT_BUILD   := build/lint
LINT_DEBS    := shellcheck clang-tidy-19
PIP_LINT     := ruff
LINT_PYTHON  := tests bench stubs tools
LINT_SKIP    ?=
TIDY_DIRS    := hoststats measure boundary module
TIDY_SOURCES := $(wildcard $(TIDY_DIRS:%=%/*.cpp))
TIDY_HEADERS := $(wildcard $(TIDY_DIRS:%=%/*.hpp))

.PHONY: lint

$(STAMPS)/lint-tools: $(STAMPS)/venv tools/install-debs
	tools/install-debs $(LINT_DEBS)
	$(PY) -m pip install -q $(PIP_LINT)
	@touch $@

$(LINT_BUILD)/compile_commands.json: $(STAMPS)/venv CMakeLists.txt CMakePresets.json
	$(VENV_ENV) cmake --preset lint >/dev/null

$(LINT_BUILD)/tidy.ok: $(STAMPS)/lint-tools $(LINT_BUILD)/compile_commands.json .clang-tidy \
                       $(TIDY_SOURCES) $(TIDY_HEADERS)
	@rm -f $@
	run-clang-tidy-19 -quiet -use-color=false -p $(LINT_BUILD) -j $(JOBS) $(TIDY_SOURCES:%=$(CURDIR)/%) \
	  > $(LINT_BUILD)/tidy.log 2>&1 \
	  || { grep -vE '^\[ *[0-9]+/[0-9]+\]|^Running clang-tidy|warnings generated|^$$' $(LINT_BUILD)/tidy.log; exit 1; }
	@echo "clang-tidy: $(words $(TIDY_SOURCES)) files clean"
	@touch $@

lint: $(STAMPS)/lint-tools
	@status=0; \
	scripts=$$(git grep -nIE '^#!.*(/|env )(ba|da)?sh( |$$)' | \
	  awk -F: -v skip=" $(LINT_SKIP) " '$$2 == 1 && !index(skip, " " $$1 " ") { print $$1 }'); \
	shellcheck -x $$scripts && echo "shellcheck: $$(wc -w <<< $$scripts) scripts clean" || status=1; \
	$(VENV)/bin/ruff check -q $(LINT_PYTHON) && echo "ruff: clean" || status=1; \
	$(MAKE) --no-print-directory $(LINT_BUILD)/tidy.ok || status=1; \
	exit $$status
