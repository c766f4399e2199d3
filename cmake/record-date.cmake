# SPDX-License-Identifier: ISC
# Records in the source release the date its builds give their files.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  file(WRITE "${CMAKE_INSTALL_PREFIX}/SOURCE_DATE_EPOCH" "$ENV{SOURCE_DATE_EPOCH}\n")
endif()
