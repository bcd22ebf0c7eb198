# What `cmake --install` puts where, and the packages CPack makes of it: a Debian package
# of the Linux build, a zip of the Windows build. ftmd installs itself (tools/ftmd).
# The programs report the version stamped at build time; the packages take the same one
# when cpack runs (packaging/cpack_version.cmake.in), so both always agree.

set(TARNEXIO_MANUALS ${PROJECT_SOURCE_DIR}/man/Tarnexio.1 ${PROJECT_SOURCE_DIR}/man/tarnexio-host.1)

if(WIN32)
  # The zip: the programs, the loop script, README, LICENSE and the manual pages as text.
  find_program(GROFF groff)
  set(text_manuals "")
  if(NOT GROFF)
    message(WARNING "groff not found: the zip will hold no manual pages")
    set(TARNEXIO_MANUALS "")
  endif()
  foreach(page ${TARNEXIO_MANUALS})
    get_filename_component(name ${page} NAME)
    set(out ${CMAKE_BINARY_DIR}/man/${name}.txt)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${GROFF} -man -Tascii -P-cbou ${page} > ${out}
      DEPENDS ${page} VERBATIM)
    list(APPEND text_manuals ${out})
  endforeach()
  add_custom_target(tarnexio_manuals ALL DEPENDS ${text_manuals})
  install(TARGETS Tarnexio tarnexio-host RUNTIME DESTINATION .)
  install(FILES README.md LICENSE ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/tarnexio-loop.cmd DESTINATION .)
  if(text_manuals)
    install(FILES ${text_manuals} DESTINATION manual)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME_SUFFIX windows-x86_64)
else()
  # Manual pages compressed as Debian has them; man reads them either way.
  set(gz_manuals "")
  foreach(page ${TARNEXIO_MANUALS} ${PROJECT_SOURCE_DIR}/man/ftmd.8)
    get_filename_component(name ${page} NAME)
    set(out ${CMAKE_BINARY_DIR}/man/${name}.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND gzip -9nc ${page} > ${out}
      DEPENDS ${page} VERBATIM)
    list(APPEND gz_manuals ${out})
    string(REGEX MATCH "[0-9]$" section ${name})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(tarnexio_manuals ALL DEPENDS ${gz_manuals})

  install(TARGETS Tarnexio tarnexio-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The documents keep the source tree's layout, so the README's links hold.
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
  install(FILES tools/ftmd/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/tools/ftmd)
  install(FILES packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  if(EXISTS ${PROJECT_SOURCE_DIR}/examples)
    install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  endif()

  # Service units and the benches' conf files: where the system's manager and the units
  # look for a /usr install, else under the prefix.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(unit_dir_default /lib/systemd/system)
    set(conf_dir /etc/tarnexio)
  else()
    set(unit_dir_default lib/systemd/system)
    set(conf_dir ${CMAKE_INSTALL_SYSCONFDIR}/tarnexio)
  endif()
  set(TARNEXIO_SYSTEMD_UNIT_DIR ${unit_dir_default} CACHE PATH "Where the systemd service units go")
  get_filename_component(TARNEXIO_CONF_DIR ${conf_dir} ABSOLUTE BASE_DIR ${CMAKE_INSTALL_PREFIX})
  # One commented example (a conffile of the package); each
  # bench's file is a copy of it. The user the services run as comes with the package.
  install(FILES packaging/etc/example.conf DESTINATION ${conf_dir})
  install(FILES packaging/sysusers.d-tarnexio.conf DESTINATION lib/sysusers.d RENAME tarnexio.conf)
  file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "${TARNEXIO_CONF_DIR}/example.conf\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
      ${PROJECT_SOURCE_DIR}/packaging/debian/prerm ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # A unit is taken as it is (NAME.service), or with the install's paths filled in
  # (NAME.service.in: @CMAKE_INSTALL_FULL_SBINDIR@, @TARNEXIO_CONF_DIR@ and the like).
  file(GLOB units ${PROJECT_SOURCE_DIR}/packaging/systemd/*.service)
  file(GLOB unit_templates ${PROJECT_SOURCE_DIR}/packaging/systemd/*.service.in)
  foreach(template ${unit_templates})
    get_filename_component(name ${template} NAME)
    string(REGEX REPLACE "\\.in$" "" name ${name})
    configure_file(${template} ${CMAKE_BINARY_DIR}/systemd/${name} @ONLY)
    list(APPEND units ${CMAKE_BINARY_DIR}/systemd/${name})
  endforeach()
  if(units)
    install(FILES ${units} DESTINATION ${TARNEXIO_SYSTEMD_UNIT_DIR})
  endif()

  # The changelog Debian wants, naming the version of this build.
  install(CODE "
    file(STRINGS \"${TARNEXIO_VERSION_FILE}\" version LIMIT_COUNT 1)
    string(TIMESTAMP when \"%a, %d %b %Y %H:%M:%S +0000\" UTC)
    set(dir \"${CMAKE_BINARY_DIR}/changelog\")
    if(version MATCHES \"-\")
      set(name changelog.Debian)
    else()
      set(name changelog)
    endif()
    file(REMOVE_RECURSE \"\${dir}\")
    file(WRITE \"\${dir}/\${name}\" \"tarnexio (\${version}) unstable; urgency=medium\\n\\n  * Build \${version}.\\n\\n -- ${TARNEXIO_PACKAGE_MAINTAINER}  \${when}\\n\")
    execute_process(COMMAND gzip -9n \"\${dir}/\${name}\")
    file(INSTALL \"\${dir}/\${name}.gz\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  ")

  set(CPACK_GENERATOR DEB)
  set(CPACK_SET_DESTDIR ON)  # the service units live outside the prefix
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # CPack puts the summary line before it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tarnexio bridges a Bluetooth controller in factory test mode (FTM) to a
test tool on a PC over TCP, in raw mode (plain H4 HCI packets) or diag mode
(framed diag requests, HCI commands tunnelled in, controller packets returned
as log packets). This package holds the bridge, ftmd (a user-space FTM
driver with a simulated or a real controller behind it) and tarnexio-host,
a test host tool for checks and RF test commands.")
endif()

set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME tarnexio)
set(CPACK_PACKAGE_VENDOR "Tarnexio project")
set(CPACK_PACKAGE_CONTACT "${TARNEXIO_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bridge from a Bluetooth controller in factory test mode to a test host")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})  # replaced by the stamped one when cpack runs
set(TARNEXIO_CPACK_VERSION_FILE ${TARNEXIO_VERSION_FILE})
configure_file(${PROJECT_SOURCE_DIR}/packaging/cpack_version.cmake.in ${CMAKE_BINARY_DIR}/CPackVersion.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackVersion.cmake)
include(CPack)
