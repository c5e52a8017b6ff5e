# The Windows package: a ZIP of tbx.exe with SDL.dll, a README for Windows
# users and the licences of both, all in one folder. SDL's licence comes from
# the SDL that tbx.exe was built against (see scripts/windows).
get_filename_component(sdl_prefix "${SDL_INCLUDE_DIR}/../.." ABSOLUTE)
file(READ "${sdl_prefix}/share/doc/SDL/SOURCE" sdl_source)
file(READ "${sdl_prefix}/share/doc/SDL/COPYING" sdl_copying)
file(WRITE "${CMAKE_BINARY_DIR}/SDL-LICENSE.txt" "${sdl_source}\n${sdl_copying}")

install(TARGETS tbx RUNTIME DESTINATION . COMPONENT windows)
install(FILES "${sdl_prefix}/bin/SDL.dll" "${CMAKE_BINARY_DIR}/SDL-LICENSE.txt" DESTINATION . COMPONENT windows)
# CRLF line endings: Notepad before Windows 10 shows LF text as one line.
configure_file(doc/README-windows.txt README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES "${CMAKE_BINARY_DIR}/README.txt" "${CMAKE_BINARY_DIR}/LICENSE.txt" DESTINATION . COMPONENT windows)

set(CPACK_GENERATOR ZIP)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL windows)
set(CPACK_ARCHIVE_WINDOWS_FILE_NAME "tbx-${PROJECT_VERSION}-windows-x64")

# SDL.dll beside tbx.exe in the build tree too, where wine finds it.
add_custom_command(TARGET tbx POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different "${sdl_prefix}/bin/SDL.dll" "$<TARGET_FILE_DIR:tbx>")
