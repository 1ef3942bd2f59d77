# make demo   build, install into .venv and print both figures (.venv gets
#             what building needs, and nothing more)
# make test   the same set-up and the test tools, then every C++ and Python
#             test
# make bench  the benchmarks (see docs/performance.md)
SHELL := /bin/bash
.DEFAULT_GOAL := demo

VENV    := .venv
PY      := $(VENV)/bin/python
STAMPS  := .stamps
BUILD   := build/tests
JOBS    ?= $(shell nproc)

DEBS       := g++ make libgtest-dev procps strace util-linux
PIP_BUILD  := scikit-build-core cmake ninja
PIP_TEST   := pytest psutil mypy basedpyright

SOURCES := $(shell git ls-files -- CMakeLists.txt pyproject.toml module boundary measure hoststats stubs 2>/dev/null)

.PHONY: demo test install cpp-build cpp-test py-test clean

$(STAMPS)/debs: tools/install-debs
	@mkdir -p $(STAMPS)
	tools/install-debs $(DEBS)
	@touch $@

$(STAMPS)/venv: $(STAMPS)/debs tools/find-python
	@mkdir -p $(STAMPS)
	@base=$$(tools/find-python) && echo "using $$base" && \
	  if [ ! -x $(PY) ] || ! $(PY) -c 'import sys; sys.exit(sys.version_info < (3,13))'; then \
	    rm -rf $(VENV) && $$base -m venv $(VENV); fi
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(PIP_BUILD)
	@touch $@

# What the Python tests use, for the targets that run them.
$(STAMPS)/test-tools: $(STAMPS)/venv
	$(PY) -m pip install -q $(PIP_TEST)
	@touch $@

# The installed module, rebuilt when a source changes. Built as users build
# it (Release), but here a compiler warning fails the build.
$(STAMPS)/install: $(STAMPS)/venv $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation -Ccmake.define.PELLUN_WERROR=ON .
	@touch $@

install: $(STAMPS)/install

demo: install
	$(PY) -c 'import pellun_core as p; print("get_memory_mb():", p.get_memory_mb()); print("get_cpu_percent():", p.get_cpu_percent())'

cpp-build: $(STAMPS)/venv
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPELLUN_BUILD_TESTS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(BUILD) -j $(JOBS)

cpp-test: cpp-build
	cd $(BUILD) && PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --output-on-failure -j $(JOBS)

py-test: install cpp-build $(STAMPS)/test-tools
	PELLUN_BUILD=$(CURDIR)/$(BUILD) $(PY) -m pytest -q

test: cpp-test py-test

clean:
	rm -rf build $(STAMPS) $(VENV)

# Further targets (benchmarks, hardening, other platforms) live in mk/.
include $(wildcard mk/*.mk)
