# Included by the Makefile: the module on its other interpreters and machines,
# each time its wheel (mk/wheels.mk), installed into a new venv.
#   make test-TARGET  the Python suite (and under qemu the C++ one) against
#                     the wheel of one target of tools/platform/target.sh
#                     but ft-*: test-py313 (the project's CPython 3.13),
#                     test-py314, test-py315 (x86_64 CPython 3.14 and
#                     3.15, Debian sid), test-arm64-py313 and so on
#   make test-armhf   the Python suite on 32-bit ARM under qemu-arm, with
#                     CPython 3.13 (trixie), 3.14 and 3.15 (sid), and the
#                     C++ suite and the slow tests with 3.14 (target.sh)
#   make test-arm64   the Python suite on 64-bit ARM under qemu-aarch64,
#                     the same interpreters (the tests that go through the
#                     interpreter: target.sh says why)
#   make test-floor   the Python suite against the x86_64 3.13 wheel on a
#                     CPython 3.13 built against, and run on, the C library
#                     of the oldest Debian the archive serves (bullseye,
#                     glibc 2.31); built once per machine into
#                     ~/.cache/pellun-ft (tools/freethreaded/build-python)
#   make test-musl    the C++ suite (built by zig against musl) and the
#                     Python suite against the musllinux x86_64 3.13 wheel
#                     on a CPython 3.13 built against musl, once per
#                     machine, into ~/.cache/pellun-musl
#                     (tools/musl/build-python)
#   make test-musl-arm64  the same on 64-bit ARM under qemu-aarch64: the C++
#                     suite built by zig against musl for aarch64, and the
#                     Python suite but the slow tests against the musllinux
#                     aarch64 3.13 wheel, on a CPython 3.13 cross-built by
#                     zig into ~/.cache/pellun-musl/3.13-aarch64
# Debian's packages for the interpreters are fetched with a private apt set-up
# (tools/platform/fetch-sysroot) and kept in ~/.cache/pellun-platform; only
# the host tools below are installed system-wide.
PLATFORM      := tools/platform
PLATFORM_DEBS := patchelf
# What each kind of target needs of the host, by the target's first word.
DEBS_armhf    := qemu-user g++-arm-linux-gnueabihf
DEBS_arm64    := qemu-user g++-aarch64-linux-gnu
# What the floor interpreter's build takes from the host; its headers and
# libraries come from bullseye's packages.
DEBS_floor    := dpkg-dev xz-utils gcc make
# What the musl interpreter's build takes from the host
# (tools/musl/build-python); its sources come from Debian's archive.
DEBS_musl     := musl-tools linux-libc-dev dpkg-dev xz-utils gcc make
# The 64-bit ARM one is built by zig, which carries musl and the kernel's
# headers, with the x86_64 one running the build's own Python steps, and
# run under qemu.
DEBS_musl-arm64-py313 := $(DEBS_musl) qemu-user zlib1g-dev
# $(call target-debs,TARGET): the host packages TARGET needs: its own list,
# else that of its first word.
target-debs    = $(PLATFORM_DEBS) $(or $(DEBS_$1),$(DEBS_$(firstword $(subst -, ,$1))))
# The targets tested by run-target, each against its wheel (the floor
# interpreter against the 3.13 one).
RUN_TARGETS   := $(filter-out ft-%,$(PLATFORM_TARGETS))
EMULATED      := armhf arm64

.PHONY: $(RUN_TARGETS:%=test-%) $(EMULATED:%=test-%) test-floor test-musl test-musl-arm64

$(RUN_TARGETS:%=test-%): test-%:
	tools/install-debs $(call target-debs,$*)
	$(VENV_ENV) $(PLATFORM)/run-target $*
$(filter-out test-floor-%,$(RUN_TARGETS:%=test-%)): test-%: $(WHEELHOUSE)/.%.built
test-floor-py313: $(WHEELHOUSE)/.py313.built

# Every interpreter even when one fails, so one run shows every fault:
# CPython 3.14 first, the interpreter the module is built for.
EMULATED_PYS := py314 py313 py315
test-armhf: $(EMULATED_PYS:%=$(WHEELHOUSE)/.armhf-%.built)
test-arm64: $(EMULATED_PYS:%=$(WHEELHOUSE)/.arm64-%.built)
$(EMULATED:%=test-%): test-%:
	status=0; \
	for py in $(EMULATED_PYS); do $(MAKE) --no-print-directory test-$*-$$py || status=1; done; \
	exit $$status

test-floor: test-floor-py313
test-musl: test-musl-py313
test-musl-arm64: test-musl-arm64-py313

# make warm-caches   the sysroots, the interpreters built from source and the
#                    fresh systems' base roots, made ready ahead of the steps
#                    that use them (tools/warm-caches; .ci/run starts it
#                    first, in the background; the project's venv comes
#                    first on its PATH, for the zig that the 64-bit ARM
#                    musl interpreter's build takes from it once make
#                    wheels has put it there, and fetches for itself before)
.PHONY: warm-caches
warm-caches:
	tools/install-debs $(call target-debs,ft) $(call target-debs,floor) $(call target-debs,musl) \
	  $(call target-debs,musl-arm64-py313) mmdebstrap
	$(VENV_ENV) tools/warm-caches $(FRESH_SUITES)
