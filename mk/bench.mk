# make bench   every benchmark, interleaved in one run, at an idle host and
#              under generated loads; rewrites docs/performance.md and
#              docs/performance.png. Takes some minutes; CI does not run it.
#
# BENCH_ARGS passes options to bench/run_bench.py, for a quicker run or a
# report written elsewhere, e.g.
#   make bench BENCH_ARGS="--quick --shapes idle,200x10 --out /tmp/perf.md"
# (--quick: two rounds a shape; --shapes: a subset, by key; run
# `python bench/run_bench.py --help` for the keys).
#
# The I/O floor (bench/floor.c) and the load generator (bench/load.c) are
# built with the native timers into build/bench/bench.
BENCH_BUILD := build/bench
BENCH_DEBS  := libbenchmark-dev linux-perf strace
PIP_BENCH   := psutil matplotlib
BENCH_ARGS  ?=

.PHONY: bench bench-build bench-check

$(STAMPS)/bench-deps: $(STAMPS)/test-tools
	tools/install-debs $(BENCH_DEBS)
	$(PY) -m pip install -q $(PIP_BENCH)
	@touch $@

bench-build: $(STAMPS)/bench-deps
	$(VENV_ENV) cmake --preset bench >/dev/null
	$(VENV_ENV) cmake --build $(BENCH_BUILD) -j $(JOBS) \
	  --target snapshot_bench parser_bench floor load

# The driver's own helpers, checked before a long run trusts them.
bench-check: bench-build
	$(PY) -m pytest -q -p no:cacheprovider bench/test_benchlib.py

bench: install bench-build bench-check
	$(PY) bench/run_bench.py --build $(BENCH_BUILD) --out docs/performance.md $(BENCH_ARGS)
