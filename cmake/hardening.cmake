# SPDX-License-Identifier: ISC
# Hardening that costs nothing measurable. It goes before the packager's own
# CXXFLAGS, so that theirs win where the two differ.
include(CheckCXXCompilerFlag)
set(hardening "")
foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "has${flag}" supported)
  check_cxx_compiler_flag(${flag} ${supported})
  if(${supported})
    string(APPEND hardening " ${flag}")
  endif()
endforeach()
# Fortified calls need optimisation, and a packager may choose another level.
# At level 2 the compiler proves every call of quenlet's safe and checks
# nothing at run time; level 3 also checks the reads whose bound is computed
# as the line grows. A C library older than level 3 takes it as level 2.
string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE" AND
   (build_type MATCHES "^(RELEASE|RELWITHDEBINFO|MINSIZEREL)$" OR
    CMAKE_CXX_FLAGS MATCHES "(^| )-O[1-9sz]"))
  string(APPEND hardening " -D_FORTIFY_SOURCE=3")
endif()
set(CMAKE_CXX_FLAGS "${hardening} ${CMAKE_CXX_FLAGS}")

# A dynamic binary, as Debian's policy wants, is position independent and
# has its relocations made read-only before it starts.
if(NOT QUENLET_STATIC)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  add_link_options(LINKER:-z,relro,-z,now)
endif()
