# make test-freethreaded   the Python suite, the thread tests included, on
#                          free-threaded CPython 3.13 and 3.14 (--disable-gil),
#                          each against its wheel (cp313t, cp314t: make wheels
#                          makes them), with a check that the module leaves
#                          the GIL off.
# The interpreters are built from Debian's python3.13 (trixie) and python3.14
# (sid) source packages, fetched by a private apt set-up from the archive the
# machine's apt uses, and installed into ~/.cache/pellun-ft/3.13t and 3.14t
# (PELLUN_FT_CACHE), where later runs on the same machine reuse them. The
# test-only extension and the dump tool are built against each in
# build/ft-py313 (build/ft-py314); the tests run in a new venv there, with
# the wheel installed by pip. FT_TARGETS=ft-py313 leaves 3.14t out, its wheel
# too; so does an archive that does not hand out the python3.14 source (a
# mirror of binary packages only), with a line that says so.
FT_TARGETS ?= $(filter ft-%,$(PLATFORM_TARGETS))
DEBS_ft    := dpkg-dev xz-utils gcc make pkg-config libssl-dev zlib1g-dev libffi-dev \
              libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev uuid-dev

.PHONY: test-freethreaded

wheels: $(FT_TARGETS:%=$(WHEELHOUSE)/.%.built)

# Every interpreter even when the first fails, its wheel included, so one run
# shows every fault. An interpreter whose source the archive does not hand
# out is left out, with the reason above (build-python's exit status 75).
test-freethreaded: $(STAMPS)/wheel-tools
	status=0; for target in $(FT_TARGETS); do \
	  $(MAKE) --no-print-directory $(WHEELHOUSE)/.$$target.built || { status=1; continue; }; \
	  if [ -f $(WHEELHOUSE)/.$$target.unavailable ]; then echo "$$target: left out, no interpreter"; continue; fi; \
	  $(VENV_ENV) tools/freethreaded/run-tests $$target || status=1; done; \
	exit $$status
