# Build with zig's C and C++ compilers for one machine and one C library,
# with zig's own libc++ linked in. For a glibc version, as the wheels are
# built: the C library's symbols are linked at the versions that glibc
# release had, whatever C library the build host has. For musl, with zig's
# own musl headers, and programs linked statically, so that they run here;
# a shared library (the module) needs zig's stand-in for musl's C library,
# named libc.so, which musl's loader takes for itself (tools/platform/
# build-wheel renames it as a musl system names it).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake
#         -DPELLUN_ZIG=<the zig program>
#         -DPELLUN_ZIG_TARGET=<arch>-linux-gnu.<glibc version>   (x86_64-linux-gnu.2.28)
#                             or <arch>-linux-musl
#         -DPELLUN_ZIG_PYTHON_INCLUDE=<the usr/include holding python3.X/>
#         [-DPELLUN_ZIG_EMULATOR=<qemu-aarch64;-cpu;cortex-a72>]   (another machine's
#                             programs, GoogleTest's listing included, run under it)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  PELLUN_ZIG PELLUN_ZIG_TARGET PELLUN_ZIG_PYTHON_INCLUDE PELLUN_ZIG_EMULATOR)
if(NOT PELLUN_ZIG OR NOT PELLUN_ZIG_TARGET MATCHES "^([a-z0-9_]+)-linux-(gnu\\.[0-9.]+|musl)$")
  message(FATAL_ERROR "zig-toolchain: set PELLUN_ZIG and PELLUN_ZIG_TARGET "
    "(such as x86_64-linux-gnu.2.28 or x86_64-linux-musl)")
endif()
set(_pellun_zig_arch ${CMAKE_MATCH_1})
if(NOT _pellun_zig_arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${_pellun_zig_arch})
  if(PELLUN_ZIG_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PELLUN_ZIG_EMULATOR})
  endif()
endif()

# CMake takes one program per tool: small scripts put the target in front.
set(_pellun_zig_bin ${CMAKE_BINARY_DIR}/pellun-zig)
foreach(_tool cc c++ ar ranlib)
  set(_target_arg "-target ${PELLUN_ZIG_TARGET} ")
  if(_tool MATCHES "^(ar|ranlib)$")
    set(_target_arg "")
  endif()
  file(CONFIGURE OUTPUT ${_pellun_zig_bin}/${_tool}.in
    CONTENT "#!/bin/sh\nexec \"${PELLUN_ZIG}\" ${_tool} ${_target_arg}\"$@\"\n")
  file(COPY_FILE ${_pellun_zig_bin}/${_tool}.in ${_pellun_zig_bin}/zig-${_tool} ONLY_IF_DIFFERENT)
  file(CHMOD ${_pellun_zig_bin}/zig-${_tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${_pellun_zig_bin}/zig-cc)
set(CMAKE_CXX_COMPILER ${_pellun_zig_bin}/zig-c++)
set(CMAKE_AR ${_pellun_zig_bin}/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_pellun_zig_bin}/zig-ranlib CACHE FILEPATH "")

if(PELLUN_ZIG_PYTHON_INCLUDE)
  include(${CMAKE_CURRENT_LIST_DIR}/pyconfig-shim.cmake)
  pellun_pyconfig_shim(${PELLUN_ZIG_PYTHON_INCLUDE} ${_pellun_zig_arch}-linux-gnu)
endif()

