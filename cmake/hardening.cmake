# SPDX-License-Identifier: ISC
# Hardening that costs nothing measurable, and the link options of a
# dynamic binary. They go before the packager's own CXXFLAGS and LDFLAGS, so
# that theirs win where the two differ.
include(CheckCXXCompilerFlag)
set(hardening "")
# A flag that the compiler takes with a warning, as clang for macOS takes
# stack clash protection, is one it does not honour.
set(CMAKE_REQUIRED_FLAGS -Werror)
foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "takes${flag}" supported)
  check_cxx_compiler_flag(${flag} ${supported})
  if(${supported})
    string(APPEND hardening " ${flag}")
  endif()
endforeach()
unset(CMAKE_REQUIRED_FLAGS)
# Fortified calls need optimisation, and a packager may choose another level.
# At level 2 the compiler proves every call of quenlet's safe and checks
# nothing at run time; level 3 also checks the reads whose bound is computed
# as the line grows. A C library older than level 3 takes it as level 2, and
# musl has no fortified calls.
string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE" AND
   (build_type MATCHES "^(RELEASE|RELWITHDEBINFO|MINSIZEREL)$" OR
    CMAKE_CXX_FLAGS MATCHES "(^| )-O[1-9sz]"))
  string(APPEND hardening " -D_FORTIFY_SOURCE=3")
endif()
set(CMAKE_CXX_FLAGS "${hardening} ${CMAKE_CXX_FLAGS}")

# A dynamic binary, as Debian's policy wants, is position independent, has
# its relocations made read-only before it starts, and loads only the
# libraries it uses: without --as-needed a clang++ build would load the C++
# library it never calls. The options are ELF linkers' own.
if(NOT QUENLET_STATIC)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
    set(CMAKE_EXE_LINKER_FLAGS "-Wl,-z,relro,-z,now -Wl,--as-needed ${CMAKE_EXE_LINKER_FLAGS}")
  endif()
endif()
