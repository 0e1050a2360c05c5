# What 'cmake --install' and the package put in place: the tool, its manual
# page, and the copyright and changelog in the package's documentation
# directory. Manual page and changelog go in gzip-compressed with -n, so their
# bytes carry no file name or time and don't change from build to build.

include(GNUInstallDirs)

# The copyright file and changelog go to CMAKE_INSTALL_DOCDIR, which a
# packager may set. Left unset, it is named after the package, as Debian
# looks for it, rather than after the project.
if("$CACHE{CMAKE_INSTALL_DOCDIR}" STREQUAL "")
  set(CMAKE_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/ridgetexture)
endif()

# Who answers for the package; also signs the changelog entries.
set(RIDGE_MAINTAINER "RidgeTexture developers <maintainers@ridgetexture.invalid>")

find_program(RIDGE_GZIP gzip REQUIRED)

# Compresses FILE (in the build tree) to FILE.gz beside it, at build time.
function(ridge_gzip file)
  add_custom_command(OUTPUT ${file}.gz
    COMMAND ${RIDGE_GZIP} -9nkf ${file}
    DEPENDS ${file}
    COMMENT "Compressing ${file}"
    VERBATIM)
endfunction()

include(cmake/DebianChangelog.cmake)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
ridge_debian_changelog(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_BINARY_DIR}/changelog
  ridgetexture "${RIDGE_MAINTAINER}" RIDGE_RELEASED)
ridge_gzip(${PROJECT_BINARY_DIR}/changelog)

# The manual page carries the project's version and the month of the
# latest release in CHANGELOG.md.
configure_file(docs/RidgeTexture.1.in RidgeTexture.1 @ONLY)
ridge_gzip(${PROJECT_BINARY_DIR}/RidgeTexture.1)

# Debian's machine-readable copyright file, made from LICENSE so the licence
# text exists once: the holder line, then the terms with each line indented
# by one space and each blank line written as " .".
file(READ LICENSE licence)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)
if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.+[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: no 'Copyright (c) ...' line followed by the terms")
endif()
set(RIDGE_COPYRIGHT "${CMAKE_MATCH_1}")
string(REPLACE "\n\n" "\n.\n" RIDGE_LICENCE_TERMS "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " RIDGE_LICENCE_TERMS " ${RIDGE_LICENCE_TERMS}")
configure_file(docs/copyright.in copyright @ONLY)

add_custom_target(ridge_docs ALL
  DEPENDS ${PROJECT_BINARY_DIR}/RidgeTexture.1.gz ${PROJECT_BINARY_DIR}/changelog.gz)

install(TARGETS RidgeTexture RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/RidgeTexture.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT docs)
# The Debian package keeps them where Debian looks for them, whatever
# CMAKE_INSTALL_DOCDIR says; only cmake/Packaging.cmake asks for this.
install(FILES ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/ridgetexture COMPONENT package_docs EXCLUDE_FROM_ALL)
