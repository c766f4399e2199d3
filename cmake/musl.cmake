# SPDX-License-Identifier: ISC
# Links the programs against musl where musl-gcc is installed, with g++ and the
# file of driver options that musl-gcc hands to gcc: they use nothing
# of the C++ library. glibc's static start-up probes the CPU many times
# over, and on a virtual machine each probe traps to the host; it is most
# of a short run.
set(libc "the system's C library")
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
    foreach(program ${programs})
      target_compile_options(${program} PRIVATE -nostdinc++ "-specs=${driver}")
      target_link_options(${program} PRIVATE "-specs=${driver}")
    endforeach()
    set(libc "musl (${MUSL_GCC})")
  else()
    string(APPEND libc "; musl-gcc (Debian: musl-tools) would start it faster")
  endif()
endif()
message(STATUS "quenlet: linked statically against ${libc}")
