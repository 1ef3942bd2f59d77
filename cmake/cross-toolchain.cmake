# Cross build for another Linux machine with glibc, under user-mode qemu:
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/cross-toolchain.cmake
#         -DPELLUN_CROSS_TRIPLET=arm-linux-gnueabihf|aarch64-linux-gnu
#         -DPELLUN_CROSS_SYSROOT=<Debian sysroot of that machine holding the interpreter>
#         [-DPELLUN_CROSS_GTEST=<prefix of GoogleTest built for that machine>]
#
# The compiler is Debian's cross g++ for the triplet with its own C library
# headers; the sysroot is only where the programs run (qemu -L) and where the
# interpreter's headers come from. Its C library is as new as the cross one
# or newer, so what is built here runs there.
set(CMAKE_SYSTEM_NAME Linux)

# try_compile projects see the toolchain file again, without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  PELLUN_CROSS_TRIPLET PELLUN_CROSS_SYSROOT PELLUN_CROSS_GTEST)

if(PELLUN_CROSS_TRIPLET STREQUAL "arm-linux-gnueabihf")
  # 32-bit ARM, hard-float ABI.
  set(CMAKE_SYSTEM_PROCESSOR armv7l)
  set(_pellun_qemu qemu-arm)
  # A 64-bit time_t and 64-bit file offsets, as Debian's own armhf packages
  # have been built since the 2038 transition: stat, time and rlimit figures
  # must not be cut to 32 bits.
  set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
  set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
elseif(PELLUN_CROSS_TRIPLET STREQUAL "aarch64-linux-gnu")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(_pellun_qemu qemu-aarch64)
  # qemu's default ARM CPU checks pointer authentication codes with the
  # architecture's cipher, emulated instruction by instruction: Debian's
  # arm64 programs run some eight times slower on it than on a Cortex-A72,
  # which has no pointer authentication and takes those instructions as
  # no-ops.
  set(_pellun_qemu_args -cpu cortex-a72)
else()
  message(FATAL_ERROR "cross-toolchain: set PELLUN_CROSS_TRIPLET to arm-linux-gnueabihf or aarch64-linux-gnu")
endif()
if(NOT PELLUN_CROSS_SYSROOT)
  message(FATAL_ERROR "cross-toolchain: set PELLUN_CROSS_SYSROOT to the ${PELLUN_CROSS_TRIPLET} sysroot")
endif()

set(CMAKE_C_COMPILER ${PELLUN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PELLUN_CROSS_TRIPLET}-g++)

include(${CMAKE_CURRENT_LIST_DIR}/pyconfig-shim.cmake)
pellun_pyconfig_shim(${PELLUN_CROSS_SYSROOT}/usr/include ${PELLUN_CROSS_TRIPLET})

# Test programs, GoogleTest's discovery included, run under user-mode qemu.
find_program(PELLUN_QEMU NAMES ${_pellun_qemu} ${_pellun_qemu}-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PELLUN_QEMU} ${_pellun_qemu_args} -L ${PELLUN_CROSS_SYSROOT})

# Libraries and packages only from the cross tree (and GoogleTest's prefix);
# programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PELLUN_CROSS_TRIPLET})
if(PELLUN_CROSS_GTEST)
  list(APPEND CMAKE_FIND_ROOT_PATH ${PELLUN_CROSS_GTEST})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
