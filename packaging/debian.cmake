# Installed and packaged as Debian would have it: the manual page gzipped,
# a machine-readable copyright file and a changelog under the doc directory,
# and a .deb that runs on either SDL 1.2 runtime.

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tonbox developers <tonbox@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# Below the synopsis, project()'s description, Debian wants more said.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tbx (Tonbox) opens the first CD-ROM drive, checks that a disc is in it and
plays every track in order, one at a time, announcing each with its length.
It takes no options and reads no input.
.
It runs on either SDL 1.2 runtime: classic SDL, which drives real drives, or
sdl12-compat, which plays a folder of MP3 files as a disc.
.
tbx-play reads the disc digitally while tbx plays it on sdl12-compat, through
the sound card: for drives without an analog output, and for systems whose
SDL 1.2 is sdl12-compat. Discs read are kept in the user's cache.")
# Depends is worked out when cpack runs, from the binaries just built.
set(CPACK_TBX_BINARIES "${CMAKE_CURRENT_BINARY_DIR}/tbx")
if(TBX_PLAY)
  list(APPEND CPACK_TBX_BINARIES "${CMAKE_CURRENT_BINARY_DIR}/tbx-play/tbx-play")
endif()
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/depends.cmake")

set(pages tbx)
if(TBX_PLAY)
  list(APPEND pages tbx-play)
endif()
set(man_pages)
foreach(page ${pages})
  set(man_page ${CMAKE_CURRENT_BINARY_DIR}/doc/${page}.1)
  add_custom_command(OUTPUT ${man_page}.gz
    COMMAND gzip -9n -c ${man_page} > ${man_page}.gz
    DEPENDS ${man_page}
    COMMENT "Compressing the manual page ${page}(1)")
  list(APPEND man_pages ${man_page}.gz)
endforeach()
add_custom_target(man-page ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The licence's own words, as a copyright file's License paragraph holds them.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(FIND "${license}" "Permission" start)
string(SUBSTRING "${license}" ${start} -1 license)
string(STRIP "${license}" license)
string(REPLACE "\n\n" "\n.\n" license "${license}")
string(REPLACE "\n" "\n " LICENSE_TEXT " ${license}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in doc/copyright @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in doc/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog > ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog
  COMMENT "Compressing the changelog")
add_custom_target(changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/copyright ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
