# Included by the Makefile: the module on its other interpreters and machines,
# each time its wheel (mk/wheels.mk), installed into a new venv.
#   make test-py314   the Python suite on x86_64 CPython 3.14 (Debian sid)
#   make test-armhf   the C++ and Python suites on 32-bit ARM under qemu-arm,
#                     with CPython 3.13 (trixie) and 3.14 (sid)
#   make test-arm64   the same on 64-bit ARM under qemu-aarch64
#   make test-floor   the Python suite against the x86_64 3.13 wheel on a
#                     CPython 3.13 built against, and run on, the C library
#                     of the oldest Debian the archive serves (bullseye,
#                     glibc 2.31); built once per machine into
#                     ~/.cache/pellun-ft (tools/freethreaded/build-python)
# Debian's packages for the interpreters are fetched with a private apt set-up
# (tools/platform/fetch-sysroot) and kept in ~/.cache/pellun-platform; only
# the host tools below are installed system-wide.
PLATFORM      := tools/platform
# Where mk/wheels.mk puts the wheels these targets install.
WHEELHOUSE    ?= wheelhouse
PLATFORM_DEBS := patchelf
ARMHF_DEBS    := qemu-user g++-arm-linux-gnueabihf
ARM64_DEBS    := qemu-user g++-aarch64-linux-gnu
# What the floor interpreter's build takes from the host; its headers and
# libraries come from bullseye's packages.
FLOOR_DEBS    := dpkg-dev xz-utils gcc make
# cmake and ninja come from the project's venv.
PLATFORM_ENV  := PATH="$(CURDIR)/$(VENV)/bin:$$PATH" JOBS="$(JOBS)"

.PHONY: test-py314 test-armhf test-armhf-py313 test-armhf-py314 test-arm64 test-arm64-py313 \
        test-arm64-py314 test-floor

test-py314: $(WHEELHOUSE)/.py314.built
	tools/install-debs $(PLATFORM_DEBS)
	$(PLATFORM_ENV) $(PLATFORM)/run-target py314

test-armhf-py313 test-armhf-py314: test-armhf-%: $(WHEELHOUSE)/.armhf-%.built
	tools/install-debs $(PLATFORM_DEBS) $(ARMHF_DEBS)
	$(PLATFORM_ENV) $(PLATFORM)/run-target armhf-$*

# Both interpreters even when the first fails, so one run shows every fault.
test-armhf: $(WHEELHOUSE)/.armhf-py313.built $(WHEELHOUSE)/.armhf-py314.built
	tools/install-debs $(PLATFORM_DEBS) $(ARMHF_DEBS)
	status=0; \
	$(PLATFORM_ENV) $(PLATFORM)/run-target armhf-py313 || status=1; \
	$(PLATFORM_ENV) $(PLATFORM)/run-target armhf-py314 || status=1; \
	exit $$status

test-arm64-py313 test-arm64-py314: test-arm64-%: $(WHEELHOUSE)/.arm64-%.built
	tools/install-debs $(PLATFORM_DEBS) $(ARM64_DEBS)
	$(PLATFORM_ENV) $(PLATFORM)/run-target arm64-$*

test-arm64: $(WHEELHOUSE)/.arm64-py313.built $(WHEELHOUSE)/.arm64-py314.built
	tools/install-debs $(PLATFORM_DEBS) $(ARM64_DEBS)
	status=0; \
	$(PLATFORM_ENV) $(PLATFORM)/run-target arm64-py313 || status=1; \
	$(PLATFORM_ENV) $(PLATFORM)/run-target arm64-py314 || status=1; \
	exit $$status

test-floor: $(WHEELHOUSE)/.py313.built
	tools/install-debs $(PLATFORM_DEBS) $(FLOOR_DEBS)
	$(PLATFORM_ENV) $(PLATFORM)/run-target floor-py313
