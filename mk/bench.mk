# make bench   every benchmark, interleaved in one run, at an idle host and
#              under generated loads; rewrites docs/performance.md and
#              docs/performance.png. Takes some minutes; CI does not run it.
#
# The yardsticks (the I/O floor and the load generator) are built from the
# shared folder beside the repository, never copied into it.
YARDSTICKS  ?= $(CURDIR)/../shared/yardsticks
BENCH_BUILD := build/bench
BENCH_DEBS  := libbenchmark-dev linux-perf
PIP_BENCH   := psutil matplotlib
BENCH_ARGS  ?=

.PHONY: bench bench-build bench-check

$(STAMPS)/bench-deps: $(STAMPS)/test-tools
	tools/install-debs $(BENCH_DEBS)
	$(PY) -m pip install -q $(PIP_BENCH)
	@touch $@

bench-build: $(STAMPS)/bench-deps
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(BENCH_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLUN_BUILD_BENCH=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(BENCH_BUILD) -j $(JOBS) \
	  --target snapshot_bench parser_bench
	cc -O2 -o $(BENCH_BUILD)/yard-floor $(YARDSTICKS)/floor.c
	cc -O2 -pthread -o $(BENCH_BUILD)/yard-load $(YARDSTICKS)/load.c

# The driver's own helpers, checked before a long run trusts them.
bench-check: bench-build
	$(PY) -m pytest -q -p no:cacheprovider bench/test_benchlib.py

bench: install bench-build bench-check
	$(PY) bench/run_bench.py --build $(BENCH_BUILD) --out docs/performance.md $(BENCH_ARGS)
