# The Windows build's bench loop and installer.
#
# tarnexio-loop.cmd goes beside Tarnexio.exe with CR LF line ends, whatever the checkout
# has: cmd.exe mishandles labels and goto in a script with LF ends.
configure_file(${PROJECT_SOURCE_DIR}/scripts/windows/tarnexio-loop.cmd
  ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/tarnexio-loop.cmd @ONLY NEWLINE_STYLE CRLF)

# Target msi: tarnexio-VERSION-win64.msi in the build directory, made by wixl from
# packaging/windows/tarnexio.wxs: the programs, the service, the loop script, README, LICENSE
# and the manual pages as text.
find_program(WIXL wixl)
find_program(MSIBUILD msibuild)
if(NOT WIXL OR NOT MSIBUILD)
  message(STATUS "wixl or msibuild (Debian: wixl, msitools) not found: no target msi")
  return()
endif()
set(wxs ${PROJECT_SOURCE_DIR}/packaging/windows/tarnexio.wxs)
add_custom_target(msi
  COMMAND ${CMAKE_COMMAND} -DWIXL=${WIXL} -DMSIBUILD=${MSIBUILD} -DWXS=${wxs} -DVERSION_FILE=${TARNEXIO_VERSION_FILE}
    -DBIN_DIR=${CMAKE_RUNTIME_OUTPUT_DIRECTORY} -DMANUAL_DIR=${CMAKE_BINARY_DIR}/man
    -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DOUT_DIR=${CMAKE_BINARY_DIR}
    -P ${PROJECT_SOURCE_DIR}/packaging/windows/build_msi.cmake
  DEPENDS ${wxs} ${PROJECT_SOURCE_DIR}/packaging/windows/build_msi.cmake
  COMMENT "MSI with wixl and msibuild"
  VERBATIM)
add_dependencies(msi Tarnexio tarnexio-host tarnexio-service tarnexio_manuals)
