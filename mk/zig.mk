# make test-zig   the C++ suite built by zig with its own libc++ (the C++
#                 runtime the x86_64 and 64-bit ARM wheels carry) and run
#                 here: against glibc 2.28's symbols, as the wheels are
#                 linked, and against musl's headers, linked statically
#                 (tools/zig-suite). ZIG_SUITE_TARGETS picks some.
# make test-zig-glibc  the glibc one alone: CI's, whose make test-musl builds
#                 and runs the musl one, beside other legs
ZIG_SUITE_GLIBC   := x86_64-linux-gnu.$(shell sed -n 's/^WHEEL_GLIBC=//p' tools/platform/target.sh)
ZIG_SUITE_TARGETS ?= $(ZIG_SUITE_GLIBC) x86_64-linux-musl

.PHONY: test-zig test-zig-glibc

$(STAMPS)/zig: $(STAMPS)/venv
	$(PY) -m pip install -q ziglang
	@touch $@

test-zig: $(STAMPS)/zig
	$(VENV_ENV) tools/zig-suite $(ZIG_SUITE_TARGETS)

test-zig-glibc: $(STAMPS)/zig
	$(VENV_ENV) tools/zig-suite $(ZIG_SUITE_GLIBC)
