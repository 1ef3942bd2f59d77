# make demo   build, install into .venv and print both figures (.venv gets
#             what building needs, and nothing more)
# make test   the same set-up and the test tools, then every C++ test and
#             the Python tests but the slow whole-host ones
# make test-all  the same, the slow tests included (CI runs them apart:
#             make test-slow)
# make bench  the benchmarks (see docs/performance.md)
SHELL := /bin/bash
.DEFAULT_GOAL := demo

VENV    := .venv
PY      := $(VENV)/bin/python
STAMPS  := .stamps
BUILD   := build/tests
JOBS    ?= $(shell nproc)
# Where the wheels go (mk/wheels.mk) and where the targets that test them
# find them.
WHEELHOUSE ?= wheelhouse
# The interpreters and machines wheels are built and tested for, as
# tools/platform/target.sh lists them.
PLATFORM_TARGETS := $(shell sed -n 's/^TARGETS="\(.*\)"$$/\1/p' tools/platform/target.sh)
# Those of them that make wheels and make warm-caches leave out (target.sh).
PLATFORM_APART   := $(shell sed -n 's/^APART="\(.*\)"$$/\1/p' tools/platform/target.sh)
# Recipes run cmake, ninja and the tools with the venv's programs first;
# JOBS reaches the scripts that build.
VENV_ENV = PATH="$(CURDIR)/$(VENV)/bin:$$PATH" JOBS="$(JOBS)"

DEBS       := g++ make libgtest-dev procps strace util-linux
PIP_BUILD  := scikit-build-core cmake ninja
PIP_TEST   := pytest psutil mypy basedpyright
# make test also runs the benchmark driver's own checks, whose report draws
# a plot.
PIP_BENCH_CHECK := matplotlib

SOURCES := $(shell git ls-files -- CMakeLists.txt pyproject.toml module boundary measure hoststats unicode stubs 2>/dev/null)

.PHONY: demo test test-slow test-all install cpp-build cpp-test py-test py-test-slow clean

$(STAMPS)/debs: tools/install-debs
	@mkdir -p $(STAMPS)
	tools/install-debs $(DEBS)
	@touch $@

# $(call make-venv,DIR,PACKAGES): a venv of the machine's CPython 3.13 or
# later in DIR (made anew if what is there is older), with PACKAGES.
define make-venv
@base=$$(tools/find-python) && echo "using $$base" && \
  if [ ! -x $1/bin/python ] || ! $1/bin/python -c 'import sys; sys.exit(sys.version_info < (3,13))'; then \
    rm -rf $1 && $$base -m venv $1; fi
$1/bin/python -m pip install -q --upgrade pip
$1/bin/python -m pip install -q $2
endef

$(STAMPS)/venv: $(STAMPS)/debs tools/find-python
	@mkdir -p $(STAMPS)
	$(call make-venv,$(VENV),$(PIP_BUILD))
	@touch $@

# What the Python tests use, for the targets that run them.
$(STAMPS)/test-tools: $(STAMPS)/venv
	$(PY) -m pip install -q $(PIP_TEST) $(PIP_BENCH_CHECK)
	@touch $@

# The installed module, rebuilt when a source changes. Built as users build
# it (Release), in the C++ tests' own tree with the "dev" preset's settings
# (a compiler warning fails the build there), so that a changed source is
# compiled once for both; pip builds the module alone.
$(STAMPS)/install: $(STAMPS)/venv $(SOURCES)
	$(VENV_ENV) $(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD) \
	  -Ccmake.define.PELLUN_BUILD_TESTS=ON -Cbuild.targets=pellun_core .
	@touch $@

install: $(STAMPS)/install

demo: install
	$(PY) -c 'import pellun_core as p; print("get_memory_mb():", p.get_memory_mb()); print("get_cpu_percent():", p.get_cpu_percent())'

# The tree's settings are the "dev" configure preset (CMakePresets.json).
cpp-build: $(STAMPS)/venv
	$(VENV_ENV) cmake --preset dev >/dev/null
	$(VENV_ENV) cmake --build $(BUILD) -j $(JOBS)

cpp-test: cpp-build
	cd $(BUILD) && $(VENV_ENV) ctest --output-on-failure -j $(JOBS)

# The tests marked slow (storms, churn, thousands of threads, leaks, each
# seconds of a whole host) are a contributor's wait, not the usual catch:
# make test leaves them out, and pytest's summary says how many.
PYTEST = PELLUN_BUILD=$(CURDIR)/$(BUILD) $(PY) -m pytest -q

# The benchmark driver's checks need no benchmark run; the few that need the
# floor or the load built skip until make bench-build has built them.
PY_TESTS = tests/py bench/test_benchlib.py

py-test: install cpp-build $(STAMPS)/test-tools
	$(PYTEST) -m "not slow" $(PY_TESTS)
	@echo "make test left out the tests marked slow (deselected above): make test-slow runs them"

py-test-slow: install cpp-build $(STAMPS)/test-tools
	$(PYTEST) -m slow

test: cpp-test py-test

test-slow: py-test-slow

test-all: cpp-test install cpp-build $(STAMPS)/test-tools
	$(PYTEST) $(PY_TESTS)

clean:
	rm -rf build $(STAMPS) $(VENV)

# Further targets (benchmarks, hardening, other platforms) live in mk/.
include $(wildcard mk/*.mk)
