# Read by cpack: Depends is what dpkg-shlibdeps finds tbx needs, the C and C++
# runtime, with libSDL left out and written as either runtime instead, since
# dpkg-shlibdeps would pin whichever one this machine has.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT DPKG_SHLIBDEPS)
    message(FATAL_ERROR "Packaging tbx needs dpkg-shlibdeps: install dpkg-dev")
  endif()
  # dpkg-shlibdeps wants a debian/control to read, even an empty one.
  get_filename_component(scratch "${CPACK_TBX_BINARY}" DIRECTORY)
  set(scratch "${scratch}/shlibdeps")
  file(MAKE_DIRECTORY "${scratch}/debian")
  file(TOUCH "${scratch}/debian/control")
  execute_process(
    COMMAND ${DPKG_SHLIBDEPS} -O -xlibsdl1.2debian -xlibsdl1.2-compat -xlibsdl1.2-compat-shim "${CPACK_TBX_BINARY}"
    WORKING_DIRECTORY "${scratch}"
    OUTPUT_VARIABLE found
    ERROR_VARIABLE complaints
    RESULT_VARIABLE status)
  # It always complains that the binary is not in a package's tree yet; only
  # a failure makes that worth showing.
  if(NOT status EQUAL 0 OR NOT found MATCHES "shlibs:Depends=([^\n]+)")
    message(FATAL_ERROR "dpkg-shlibdeps found no dependencies for ${CPACK_TBX_BINARY}:\n${complaints}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}, libsdl1.2debian | libsdl1.2-compat-shim")
endif()
