# Sourced by run-target and build-wheel, from the top of the source tree:
# what each target is, its interpreter, and how CMake and pip reach it.
#
#   py313        x86_64, the project's own CPython 3.13 (the base of .venv)
#   py314        x86_64, CPython 3.14 from Debian sid
#   py315        x86_64, CPython 3.15 from Debian sid
#   armhf-py313  32-bit ARM under qemu-arm, CPython 3.13 from trixie
#   armhf-py314  32-bit ARM under qemu-arm, CPython 3.14 from sid
#   armhf-py315  32-bit ARM under qemu-arm, CPython 3.15 from sid
#   arm64-py313  64-bit ARM under qemu-aarch64, CPython 3.13 from trixie
#   arm64-py314  64-bit ARM under qemu-aarch64, CPython 3.14 from sid
#   arm64-py315  64-bit ARM under qemu-aarch64, CPython 3.15 from sid
#   floor-py313  x86_64, CPython 3.13 built against the C library of the
#                oldest Debian the archive serves (bullseye, glibc 2.31),
#                with that C library (tools/freethreaded/build-python --floor)
#   ft-py313     x86_64, free-threaded CPython 3.13 ("3.13t"), built from
#                Debian's trixie source (tools/freethreaded/build-python)
#   ft-py314     x86_64, free-threaded CPython 3.14 ("3.14t"), built from
#                Debian's sid source
#   musl-py313   x86_64, CPython 3.13 on musl, built from Debian's trixie
#                source with Debian's musl-tools (tools/musl/build-python)
#   musl-arm64-py313  64-bit ARM under qemu-aarch64, CPython 3.13 on musl,
#                cross-built from the same source by zig
#                (tools/musl/build-python --arch aarch64)
#
# Debian's interpreters are unpacked into build/sysroot-<python>-<arch>
# (fetch-sysroot) and run through a venv that make-venv writes; the
# free-threaded ones and the floor one are installed under ~/.cache/pellun-ft,
# the musl ones under ~/.cache/pellun-musl (the 64-bit ARM one as a root for
# qemu -L, the interpreter under usr/ beside Debian's musl for arm64).
# The wheels for x86_64 and 64-bit ARM are compiled by zig (from PyPI, in the
# project's venv) against glibc $WHEEL_GLIBC's symbols (the musl one against
# zig's musl, for the system's musl to load); the others, and the
# trees the tests build, by Debian's g++. HOST_PYTHON
# (default: python3 on PATH, which the Makefile points at .venv) runs pip for
# them: `pip --python VENV/bin/python` runs pip's own code under the target's
# interpreter, so what it installs is decided by that interpreter's tags.

platform_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
HOST_PYTHON=${HOST_PYTHON:-python3}
PIP_CACHE=${PELLUN_PLATFORM_CACHE:-$HOME/.cache/pellun-platform}/pip

# Every target, the one list of them: the make files read it from here.
TARGETS="py313 py314 py315 armhf-py313 armhf-py314 armhf-py315 arm64-py313 arm64-py314 arm64-py315 ft-py313 ft-py314 floor-py313 musl-py313 musl-arm64-py313"
# The C library the x86_64 and 64-bit ARM wheels are linked against. (32-bit
# ARM stays at 2.34: the module's 64-bit time_t needs the *64 time functions
# glibc has had only since then.)
WHEEL_GLIBC=2.28

# target_init TARGET: sets target, suite, arch, version, abi (the ABI flags,
# "t" for a free-threaded interpreter), mode (host, native, qemu-arm,
# qemu-aarch64, freethreaded, floor, musl: how the interpreter is reached),
# libc (glibc or musl), triplet, sysroot, whole, core and cpp.
# whole is 1 for the target that runs a machine's whole suite: the Python
# tests marked slow (seconds of a whole host: storms, churn, thousands of
# threads), those marked core (the dump tool, the readers' failures, the
# pause's fallbacks) and, where its tree builds them, the C++ tests. All of
# these test the C++ core, which is the same code on every interpreter of
# one machine and C library, so they run once there: with CPython 3.13t for
# the free-threaded builds, with CPython 3.13 on musl, and on 32-bit ARM
# with CPython 3.14, the interpreter the module is built for there. (On
# x86_64 with glibc, make test-asan runs them, the slow tests included.)
# Its other interpreters run the rest of the Python suite, which is
# everything that goes through the interpreter. core is 1 where the tests
# marked core run: on the whole targets; with the project's own CPython
# 3.13, against the wheel whose C++ core zig built with its libc++; on the
# floor interpreter, whose C library is a machine of its own; and on 64-bit
# ARM's musl. cpp is 1 where the C++ tests run: with whole, and on 64-bit
# ARM's musl, whose build is its own (zig's libc++ on musl for aarch64: the
# layouts of musl's structures and its system call wrappers there are met
# by no other target); its slow tests are left to the targets that run
# whole. 64-bit ARM's glibc runs no whole suite: what its C++ core does
# differently from x86_64's is what 32-bit ARM's does too (char is unsigned
# on both ARMs; long and pointers are 64 bits as on x86_64), and under qemu
# the C++ suite and the whole-host tests cost minutes of processor time.
target_init() {
  target=$1 abi='' whole=1 libc=glibc
  case "$target" in
    py313)       suite=''     arch=amd64 version=3.13 mode=host ;;
    py314)       suite=sid    arch=amd64 version=3.14 mode=native ;;
    py315)       suite=sid    arch=amd64 version=3.15 mode=native ;;
    armhf-py313) suite=trixie arch=armhf version=3.13 mode=qemu-arm ;;
    armhf-py314) suite=sid    arch=armhf version=3.14 mode=qemu-arm ;;
    armhf-py315) suite=sid    arch=armhf version=3.15 mode=qemu-arm ;;
    arm64-py313) suite=trixie arch=arm64 version=3.13 mode=qemu-aarch64 ;;
    arm64-py314) suite=sid    arch=arm64 version=3.14 mode=qemu-aarch64 ;;
    arm64-py315) suite=sid    arch=arm64 version=3.15 mode=qemu-aarch64 ;;
    ft-py313)    suite=''     arch=amd64 version=3.13 mode=freethreaded abi=t ;;
    ft-py314)    suite=''     arch=amd64 version=3.14 mode=freethreaded abi=t ;;
    floor-py313) suite=''     arch=amd64 version=3.13 mode=floor ;;
    musl-py313)  suite=''     arch=amd64 version=3.13 mode=musl libc=musl ;;
    musl-arm64-py313) suite='' arch=arm64 version=3.13 mode=qemu-aarch64 libc=musl ;;
    *) echo "unknown target $target ($TARGETS)" >&2; return 2 ;;
  esac
  case "$arch" in
    amd64) triplet=x86_64-linux-gnu ;;
    armhf) triplet=arm-linux-gnueabihf ;;
    arm64) triplet=aarch64-linux-gnu ;;
  esac
  [ "$libc" != musl ] || triplet=${triplet%-gnu}-musl
  # (The 64-bit ARM musl root is found when the interpreter is: target_sysroot.)
  sysroot=$PWD/build/sysroot-py${version/./}-$arch
  # (The floor interpreter runs the x86_64 wheel that py313 runs.)
  # shellcheck disable=SC2034  # read by run-target and run-tests
  case "$target" in
    ft-py313|musl-py313|armhf-py314) ;;
    *) whole=0 ;;
  esac
  core=$whole cpp=$whole
  case "$target" in
    py313|floor-py313) core=1 ;;
    musl-arm64-py313) core=1 cpp=1 ;;
  esac
}

# target_marks: sets marks, the pytest arguments of the target's Python
# suite: the tests marked slow are left out unless the target runs whole,
# and those marked core unless it runs them.
target_marks() {
  marks=()
  # shellcheck disable=SC2034  # read by run-target and run-tests
  if [ "$core" = 0 ]; then
    marks=(-m "not slow and not core")
  elif [ "$whole" = 0 ]; then
    marks=(-m "not slow")
  fi
}

# target_sysroot: Debian's interpreter, its headers and psutil, unpacked; or
# an interpreter built from source once per machine (free-threaded, floor or
# musl: its path in ft_python).
target_sysroot() {
  case "$mode" in
    host) ;;
    freethreaded)
      ft_python=$("$platform_dir/../freethreaded/build-python" "$version") ;;
    floor)
      ft_python=$("$platform_dir/../freethreaded/build-python" --floor "$version") ;;
    musl)
      ft_python=$("$platform_dir/../musl/build-python") ;;
    qemu-aarch64)
      if [ "$libc" = musl ]; then
        ft_python=$("$platform_dir/../musl/build-python" --arch aarch64) || return 1
        sysroot=${ft_python%/usr/bin/python*}
      else
        "$platform_dir/fetch-sysroot" "$suite" "$arch" "$sysroot" \
          "python$version" "libpython$version-dev" libstdc++6 python3-psutil
      fi ;;
    *)
      "$platform_dir/fetch-sysroot" "$suite" "$arch" "$sysroot" \
        "python$version" "libpython$version-dev" libstdc++6 python3-psutil ;;
  esac
}

# target_venv DIR: a new, empty venv of the target's interpreter.
target_venv() {
  local dir=$1
  rm -rf "$dir"
  if [ "$mode" = host ]; then
    local base
    base=$("$HOST_PYTHON" -c 'import sys; print(sys._base_executable)')
    "$base" -m venv --without-pip "$dir"
  elif [ "$mode" = freethreaded ] || [ "$mode" = floor ] || [ "$mode" = musl ]; then
    "$ft_python" -m venv --without-pip "$dir"
  else
    "$platform_dir/make-venv" "$mode" "$sysroot" "$version" "$dir"
  fi
}

# target_pip VENV ARGS...: pip, running under the venv's interpreter (under
# qemu, as make-venv's python-for-pip, whose sys.executable is an ARM
# file; pip's own children, such as a build backend, need bin/python: pass
# --python-for-children).
target_pip() {
  local venv=$1 python=$1/bin/python
  shift
  if [ "${1:-}" = --python-for-children ]; then
    shift
  elif [ -x "$venv/bin/python-for-pip" ]; then
    python=$venv/bin/python-for-pip
  fi
  "$HOST_PYTHON" -m pip --python "$python" -q --disable-pip-version-check \
    --cache-dir "$PIP_CACHE" "$@"
}

# target_pip_pure VENV PACKAGE...: pure-Python packages, fetched by the
# host's pip for the target's Python version and put into the venv's
# site-packages without running anything under the target (which is slow
# under qemu). Options before the packages go to pip: --platform and the like
# fetch the target's binary wheels the same way.
target_pip_pure() {
  local venv=$1
  shift
  "$HOST_PYTHON" -m pip install -q --disable-pip-version-check --no-compile \
    --cache-dir "$PIP_CACHE" --target "$venv/lib/python$version$abi/site-packages" \
    --python-version "$version" --only-binary=:all: "$@"
}

# target_qemu: the user-mode emulator of a qemu-* target's machine.
target_qemu() {
  command -v "$mode" || command -v "$mode-static" ||
    { echo "$target: no $mode (Debian's qemu-user has it)" >&2; return 1; }
}

# target_zig: the zig program of the project's venv (mk/wheels.mk installs
# ziglang there), in zig.
target_zig() {
  zig=$("$HOST_PYTHON" -c 'import pathlib, ziglang; print(pathlib.Path(ziglang.__file__).parent / "zig")' 2>/dev/null) &&
    [ -x "$zig" ] ||
    { echo "$target: no zig: the project's venv has no ziglang (make wheels installs it)" >&2; return 1; }
}

# target_cmake_config VENV BUILDDIR [wheel]: fills the array `config` with
# the cmake arguments that build for the venv's interpreter: with the wheel's
# compiler when the third argument is "wheel" (and always for the floor
# interpreter, whose C library is older than Debian's g++ links against, and
# for the musl one: Debian's g++ has no C++ library for musl).
target_cmake_config() {
  local venv=$1 tree=$2 purpose=${3:-tests}
  config=(-DPython_EXECUTABLE="$venv/bin/python")
  local pyinc
  case "$mode" in
    host|freethreaded|floor|musl)
      pyinc=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("include"))') ;;
    *)
      pyinc=$sysroot/usr/include/python$version
      config+=(-DPython_INCLUDE_DIR="$pyinc") ;;
  esac
  if [ "$mode" = floor ] || [ "$libc" = musl ] ||
     { [ "$purpose" = wheel ] && [ "$mode" != freethreaded ] && [ "$arch" != armhf ]; }; then
    target_zig || return 1
    local zig_target=$triplet.$WHEEL_GLIBC
    [ "$libc" != musl ] || zig_target=$triplet
    config+=(-DCMAKE_TOOLCHAIN_FILE="$platform_dir/../../cmake/zig-toolchain.cmake"
             -DPELLUN_ZIG="$zig" -DPELLUN_ZIG_TARGET="$zig_target"
             -DPELLUN_ZIG_PYTHON_INCLUDE="$(dirname "$pyinc")")
    # Under qemu the test programs, GoogleTest's listing of them included,
    # run emulated; zig links them statically for musl, so no -L is needed.
    case "$mode" in qemu-*)
      [ "$purpose" = wheel ] || config+=(-DPELLUN_ZIG_EMULATOR="$(target_qemu);-cpu;cortex-a72") ;;
    esac
    return 0
  fi
  case "$mode" in
    native)
      # The interpreter's own view of its headers is /usr/include; the copy
      # is in the sysroot. Debian's pyconfig.h includes
      # <x86_64-linux-gnu/python3.X/pyconfig.h>; a directory with just that
      # link keeps sid's C library headers out of the host compiler's way.
      local shim=$tree-pyconfig
      mkdir -p "$shim/x86_64-linux-gnu"
      ln -sfn "$sysroot/usr/include/x86_64-linux-gnu/python$version" "$shim/x86_64-linux-gnu/python$version"
      config+=(-DCMAKE_CXX_FLAGS="-isystem $shim")
      ;;
    qemu-*)
      config+=(-DCMAKE_TOOLCHAIN_FILE="$platform_dir/../../cmake/cross-toolchain.cmake"
               -DPELLUN_CROSS_TRIPLET="$triplet" -DPELLUN_CROSS_SYSROOT="$sysroot")
      ;;
  esac
}

# The wheel of the target in wheelhouse/, by its tags.
target_wheel_glob() {
  local py=cp${version/./} plat=x86_64 tag=manylinux
  [ "$arch" = armhf ] && plat=armv7l
  [ "$arch" = arm64 ] && plat=aarch64
  [ "$libc" = musl ] && tag=musllinux
  echo "wheelhouse/pellun_core-*-$py-$py$abi-*${tag}*_$plat.whl"
}
