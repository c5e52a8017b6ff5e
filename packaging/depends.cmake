# Read by cpack: Depends is what dpkg-shlibdeps finds the binaries need, with
# libSDL left out and written as either runtime instead, since dpkg-shlibdeps
# would pin whichever one this machine has; tbx-play has tbx play on
# sdl12-compat: its own package where there is one (Debian 12 and 13), else
# the system's SDL 1.2 from a release where that is sdl12-compat (1.2.15 is
# classic SDL's last).
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT DPKG_SHLIBDEPS)
    message(FATAL_ERROR "Packaging tbx needs dpkg-shlibdeps: install dpkg-dev")
  endif()
  # dpkg-shlibdeps wants a debian/control to read, even an empty one.
  list(GET CPACK_TBX_BINARIES 0 first)
  get_filename_component(scratch "${first}" DIRECTORY)
  set(scratch "${scratch}/shlibdeps")
  file(MAKE_DIRECTORY "${scratch}/debian")
  file(TOUCH "${scratch}/debian/control")
  execute_process(
    COMMAND ${DPKG_SHLIBDEPS} -O -xlibsdl1.2debian -xlibsdl1.2-compat -xlibsdl1.2-compat-shim ${CPACK_TBX_BINARIES}
    WORKING_DIRECTORY "${scratch}"
    OUTPUT_VARIABLE found
    ERROR_VARIABLE complaints
    RESULT_VARIABLE status)
  # It always complains that the binary is not in a package's tree yet; only
  # a failure makes that worth showing.
  if(NOT status EQUAL 0 OR NOT found MATCHES "shlibs:Depends=([^\n]+)")
    message(FATAL_ERROR "dpkg-shlibdeps found no dependencies for ${CPACK_TBX_BINARIES}:\n${complaints}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}, libsdl1.2debian | libsdl1.2-compat-shim")
  list(LENGTH CPACK_TBX_BINARIES binaries)
  if(binaries GREATER 1)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libsdl1.2-compat | libsdl1.2debian (>= 1.2.50)")
  endif()
endif()
