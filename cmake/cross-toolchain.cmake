# Cross build for 32-bit ARM, hard-float ABI, glibc: the target of the module.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#         -DPELLUN_ARMHF_SYSROOT=<Debian armhf sysroot holding the interpreter>
#         [-DPELLUN_ARMHF_GTEST=<prefix of GoogleTest built for armhf>]
#
# The compiler is Debian's arm-linux-gnueabihf cross g++ with its own C
# library headers; the sysroot is only where the programs run (qemu-arm -L)
# and where the interpreter's headers come from. Its C library is as new as
# the cross one or newer, so what is built here runs there.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(PELLUN_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${PELLUN_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PELLUN_ARMHF_TRIPLET}-g++)

# try_compile projects see the toolchain file again, without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELLUN_ARMHF_SYSROOT PELLUN_ARMHF_GTEST)

if(NOT PELLUN_ARMHF_SYSROOT)
  message(FATAL_ERROR "armhf-toolchain: set PELLUN_ARMHF_SYSROOT to the armhf sysroot")
endif()

# A 64-bit time_t and 64-bit file offsets, as Debian's own armhf packages
# have been built since the 2038 transition: stat, time and rlimit figures
# must not be cut to 32 bits.
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")

# Debian's <python3.X/pyconfig.h> includes <arm-linux-gnueabihf/python3.X/pyconfig.h>.
# Giving the compiler the sysroot's whole include directory would put its C
# library headers ahead of the cross compiler's, so a directory holding only
# that one link stands in for it.
set(_pellun_pyinc ${CMAKE_BINARY_DIR}/pellun-pyconfig)
file(GLOB _pellun_pyconf LIST_DIRECTORIES true
  ${PELLUN_ARMHF_SYSROOT}/usr/include/${PELLUN_ARMHF_TRIPLET}/python3.*)
file(MAKE_DIRECTORY ${_pellun_pyinc}/${PELLUN_ARMHF_TRIPLET})
foreach(_dir ${_pellun_pyconf})
  get_filename_component(_name ${_dir} NAME)
  file(CREATE_LINK ${_dir} ${_pellun_pyinc}/${PELLUN_ARMHF_TRIPLET}/${_name} SYMBOLIC)
endforeach()
string(APPEND CMAKE_C_FLAGS_INIT " -isystem ${_pellun_pyinc}")
string(APPEND CMAKE_CXX_FLAGS_INIT " -isystem ${_pellun_pyinc}")

# Test programs, GoogleTest's discovery included, run under user-mode qemu.
find_program(PELLUN_QEMU_ARM NAMES qemu-arm qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PELLUN_QEMU_ARM} -L ${PELLUN_ARMHF_SYSROOT})

# Libraries and packages only from the cross tree (and GoogleTest's prefix);
# programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PELLUN_ARMHF_TRIPLET})
if(PELLUN_ARMHF_GTEST)
  list(APPEND CMAKE_FIND_ROOT_PATH ${PELLUN_ARMHF_GTEST})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
