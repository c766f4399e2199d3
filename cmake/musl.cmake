# SPDX-License-Identifier: ISC
# Finds musl for a static link: musl-gcc's file of driver options, which g++
# takes as well, since the programs use nothing of the C++ library. glibc's
# static start-up probes the CPU many times over, and on a virtual machine
# each probe traps to the host; it is most of a short run. Sets musl_specs
# to the file, or leaves it empty, and libc to what is linked.
set(libc "the system's C library")
set(musl_specs "")
if(NOT QUENLET_MUSL)
elseif(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  string(APPEND libc " (musl takes g++ on Linux)")
else()
  find_program(MUSL_GCC musl-gcc)
  if(MUSL_GCC)
    file(STRINGS "${MUSL_GCC}" driver REGEX "-specs")
    string(REGEX MATCH "-specs[ =]\"?([^\" ]+)" driver "${driver}")
    set(driver "${CMAKE_MATCH_1}")
  endif()
  if(MUSL_GCC AND EXISTS "${driver}")
    set(musl_specs "${driver}")
    set(libc "musl (${MUSL_GCC})")
  else()
    string(APPEND libc "; musl-gcc (Debian: musl-tools) would start it faster")
  endif()
endif()

# glibc linked statically still loads the system's name-service modules,
# built against its shared self, to look up a group's members, and one of
# them (Debian's libnss_systemd) crashes it: without musl, glibc is linked
# dynamically, unless the build is for a machine without such modules (as
# qemu-user runs a foreign build).
option(QUENLET_STATIC_GLIBC "Link statically against glibc too, where no name-service module is loaded" OFF)
if(NOT musl_specs AND NOT QUENLET_STATIC_GLIBC)
  include(CheckCXXSourceCompiles)
  check_cxx_source_compiles("#include <climits>
#ifdef __GLIBC__
#error glibc
#endif
int main() {}" libc_is_not_glibc)
  if(NOT libc_is_not_glibc)
    set(QUENLET_STATIC OFF)
    set(libc "glibc, which linked statically crashes looking up a group; g++ with musl-gcc (Debian: musl-tools) links statically against musl")
  endif()
endif()
