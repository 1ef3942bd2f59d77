# make test-fresh   the README's two commands (make demo, make test) from a
#                   clean clone of HEAD on freshly made Debian 12 and 13
#                   systems (mmdebstrap roots under chroot; needs root).
#                   FRESH_SUITES=bookworm picks one.
# make test-sdist   make sdist's tarball installed by pip, with build
#                   isolation, on a freshly made Debian 13 system that has
#                   neither a C++ compiler nor Python's headers at first
#                   (each build that fails must name the package it lacks);
#                   then the unpacked tarball's own C++ and Python suites
#                   against the installed module (tools/fresh/sdist-steps;
#                   needs root). Shares test-fresh's caches: not run beside it.
FRESH_SUITES ?= bookworm trixie
SDIST_SUITES ?= trixie

.PHONY: test-fresh test-sdist

test-fresh:
	tools/fresh/test-fresh $(FRESH_SUITES)

test-sdist: sdist
	tools/fresh/test-fresh --sdist $(WHEELHOUSE)/pellun_core-*.tar.gz $(SDIST_SUITES)
