# make test-fresh   the README's two commands (make demo, make test) from a
#                   clean clone of HEAD on freshly made Debian 12 and 13
#                   systems (mmdebstrap roots under chroot; needs root).
#                   FRESH_SUITES=bookworm picks one.
FRESH_SUITES ?= bookworm trixie

.PHONY: test-fresh

test-fresh:
	tools/fresh/test-fresh $(FRESH_SUITES)
