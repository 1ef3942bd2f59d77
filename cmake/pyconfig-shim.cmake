# Included by the toolchain files. Debian's <python3.X/pyconfig.h> includes
# <TRIPLET/python3.X/pyconfig.h>. Giving the compiler the whole include
# directory that holds it would put that system's C library headers ahead of
# the compiler's own, so a directory holding only links to the interpreters'
# configuration headers stands in for it.
#
#   pellun_pyconfig_shim(INCLUDE_ROOT TRIPLET)   INCLUDE_ROOT: the usr/include
#                                                 that holds python3.X/
function(pellun_pyconfig_shim root triplet)
  set(shim ${CMAKE_BINARY_DIR}/pellun-pyconfig)
  file(GLOB confs LIST_DIRECTORIES true ${root}/${triplet}/python3.*)
  file(MAKE_DIRECTORY ${shim}/${triplet})
  foreach(dir ${confs})
    get_filename_component(name ${dir} NAME)
    file(CREATE_LINK ${dir} ${shim}/${triplet}/${name} SYMBOLIC)
  endforeach()
  string(APPEND CMAKE_C_FLAGS_INIT " -isystem ${shim}")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -isystem ${shim}")
  set(CMAKE_C_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}" PARENT_SCOPE)
  set(CMAKE_CXX_FLAGS_INIT "${CMAKE_CXX_FLAGS_INIT}" PARENT_SCOPE)
endfunction()
