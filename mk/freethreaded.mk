# make test-freethreaded   the Python suite, the thread tests included, on a
#                          free-threaded CPython 3.13 (--disable-gil), with a
#                          check that the module leaves the GIL off.
# The interpreter is built from Debian's python3.13 source package (fetched by
# a private apt set-up, the system's sources untouched) and installed into
# ~/.cache/pellun-ft/3.13t (PELLUN_FT_CACHE), where later runs on the same
# machine reuse it. The module's wheel (cp313t), the test-only extension and
# the dump tool are built against it in build/ft; the tests run in a new venv
# with the wheel installed by pip.
FT_DEBS := dpkg-dev xz-utils gcc make pkg-config libssl-dev zlib1g-dev libffi-dev \
           libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev uuid-dev

.PHONY: test-freethreaded

# auditwheel comes from the project's venv (mk/wheels.mk).
test-freethreaded: $(STAMPS)/debs $(STAMPS)/wheel-tools
	tools/install-debs $(FT_DEBS)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" JOBS="$(JOBS)" tools/freethreaded/run-tests
