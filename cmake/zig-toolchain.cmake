# Builds with zig's clang and its own C++ library, linked in statically, for a
# chosen target and glibc version:
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake -DPELLAR_ZIG=<zig> -DPELLAR_TARGET=x86_64-linux-gnu.2.17
# (or aarch64-linux-gnu.2.17).  The modules then need no C++ library of the
# system's and no glibc symbol newer than that version.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELLAR_ZIG PELLAR_TARGET)
if(NOT PELLAR_ZIG OR NOT PELLAR_TARGET)
  message(FATAL_ERROR "zig-toolchain: set PELLAR_ZIG (the zig executable) and PELLAR_TARGET (e.g. x86_64-linux-gnu.2.17)")
endif()
string(REGEX MATCH "^[^-]+" _pellar_arch "${PELLAR_TARGET}")
if(NOT _pellar_arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${_pellar_arch})
endif()
set(CMAKE_CXX_COMPILER "${PELLAR_ZIG}" c++ -target ${PELLAR_TARGET})
# zig builds its C++ library anew (about a minute, then cached) for each kind
# of build it sees: optimised or not, with link-time optimisation or not,
# stripped or not.  Every compile and link, the compiler's identification at
# configure time among them, gets the release build's flags, ThinLTO and the
# stripping of debug information, so that one build of the library serves
# all.  (A compile alone ignores the linker's argument.)
set(CMAKE_CXX_FLAGS_INIT "-O3 -flto=thin -Wl,--strip-debug -Wno-unused-command-line-argument")
set(CMAKE_TRY_COMPILE_CONFIGURATION Release)

# The archiver of the same LLVM (link-time optimisation puts its bitcode into
# the frame's library): zig's own, through a one-line script, since CMake runs
# an archiver as a single program.
foreach(_pellar_tool ar ranlib)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/zig-${_pellar_tool}
       CONTENT "#!/bin/sh\nexec \"${PELLAR_ZIG}\" ${_pellar_tool} \"$@\"\n")
  file(CHMOD ${CMAKE_BINARY_DIR}/zig-${_pellar_tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_AR ${CMAKE_BINARY_DIR}/zig-ar)
set(CMAKE_RANLIB ${CMAKE_BINARY_DIR}/zig-ranlib)
set(CMAKE_CXX_COMPILER_AR ${CMAKE_BINARY_DIR}/zig-ar)
set(CMAKE_CXX_COMPILER_RANLIB ${CMAKE_BINARY_DIR}/zig-ranlib)
