# SPDX-License-Identifier: ISC
# Install rules, the Debian package and the source release.
include(GNUInstallDirs)

# The time of the last commit, or in a source release the time recorded in
# it, dates the package's files and its changelog, so that two builds of the
# same tree give the same package.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT epoch AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT epoch AND EXISTS "${PROJECT_SOURCE_DIR}/SOURCE_DATE_EPOCH")
  file(STRINGS "${PROJECT_SOURCE_DIR}/SOURCE_DATE_EPOCH" epoch LIMIT_COUNT 1)
endif()
if(epoch)
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
else()
  message(STATUS "No commit or recorded date: the package carries today's date")
endif()
string(TIMESTAMP RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

find_program(GZIP gzip REQUIRED)
configure_file(doc/quenlet.1.in quenlet.1 @ONLY)
configure_file(doc/gemlog-index.1.in gemlog-index.1 @ONLY)
configure_file(NEWS NEWS COPYONLY)
set(docs quenlet.1.gz gemlog-index.1.gz NEWS.gz)
if(QUENLET_CONTACT)
  configure_file(doc/changelog.in changelog @ONLY)
  list(APPEND docs changelog.gz)
endif()
foreach(doc ${docs})
  string(REGEX REPLACE "\\.gz$" "" plain "${doc}")
  add_custom_command(OUTPUT ${doc} COMMAND ${GZIP} -n -9 -f -k ${plain}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${plain} VERBATIM)
endforeach()
add_custom_target(docs ALL DEPENDS ${docs})

# Debian's machine-readable copyright file, with the licence as a paragraph.
file(READ LICENSE LICENCE_TEXT)
string(REGEX REPLACE "^[^\n]*\n\n" "" LICENCE_TEXT "${LICENCE_TEXT}")
string(REGEX REPLACE "\n\n" "\n.\n" LICENCE_TEXT "${LICENCE_TEXT}")
string(REGEX REPLACE "([^\n]*)\n" " \\1\n" LICENCE_TEXT "${LICENCE_TEXT}")
string(STRIP "${LICENCE_TEXT}" LICENCE_TEXT)
string(PREPEND LICENCE_TEXT " ")
configure_file(doc/copyright.in copyright @ONLY)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS quenlet gemlog-index RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quenlet.1.gz ${CMAKE_CURRENT_BINARY_DIR}/gemlog-index.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/NEWS.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(QUENLET_CONTACT)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME quenlet)
set(CPACK_PACKAGE_CONTACT "${QUENLET_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "print the index of a gemlog")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "quenlet reads a folder of gemtext journal entries, named
YYYY-MM-DD*.gmi and starting with a # heading, and prints one gemtext link
line per entry, labelled with its date and title: the index of the journal,
ready to be served over the Gemini protocol. gemlog-index publishes that
index, newest entry first, as the folder's index.gmi, keeping the author's
text around it, and optionally an Atom feed beside it, replacing each file
only when the new one is whole.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)

set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME quenlet-${PROJECT_VERSION})
string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" top "${PROJECT_SOURCE_DIR}")
set(CPACK_SOURCE_IGNORE_FILES "^${top}/\\.git/" "^${top}/build[^/]*/")
configure_file(cmake/cpack.cmake.in cpack.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack.cmake)
include(CPack)
