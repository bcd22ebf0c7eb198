# Builds the MSI with wixl (cmake -P, run by the target msi at each build, so that the
# package carries the version the programs were stamped with):
#   WIXL, MSIBUILD, WXS, VERSION_FILE, BIN_DIR, MANUAL_DIR, SOURCE_DIR, OUT_DIR
file(STRINGS "${VERSION_FILE}" version LIMIT_COUNT 1)
string(REGEX MATCH "^[0-9]+\\.[0-9]+\\.[0-9]+" product_version "${version}")
if(NOT product_version)
  message(FATAL_ERROR "no version number in '${version}' (${VERSION_FILE})")
endif()
set(out "${OUT_DIR}/tarnexio-${version}-win64.msi")
# An MSI of an earlier stamp is not this build's: only one is left beside the build.
file(GLOB earlier "${OUT_DIR}/tarnexio-*-win64.msi")
list(REMOVE_ITEM earlier "${out}")
if(earlier)
  file(REMOVE ${earlier})
endif()
# wixl takes the files by relative names: they are gathered as they are installed.
set(stage "${OUT_DIR}/msi-files")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}/manual")
foreach(name Tarnexio.exe tarnexio-service.exe tarnexio-host.exe tarnexio-loop.cmd)
  file(COPY "${BIN_DIR}/${name}" DESTINATION "${stage}")
endforeach()
file(COPY "${SOURCE_DIR}/README.md" "${SOURCE_DIR}/LICENSE" "${WXS}" DESTINATION "${stage}")
file(COPY "${MANUAL_DIR}/Tarnexio.1.txt" "${MANUAL_DIR}/tarnexio-host.1.txt" DESTINATION "${stage}/manual")
get_filename_component(wxs_name "${WXS}" NAME)
execute_process(COMMAND "${WIXL}" -a x64 -D "Version=${version}" -D "ProductVersion=${product_version}"
                  -o "${out}" "${wxs_name}"
                WORKING_DIRECTORY "${stage}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "wixl failed on ${WXS}")
endif()
# wixl's major upgrade takes versions below this one; with the maximum inclusive (513:
# migrate features, maximum inclusive), a build of the same version from another revision
# (1.3.0+g1234567 after 1.3.0+g89abcde) replaces the installed one too.
# (The row's Attributes are part of its key: it is replaced, not updated.)
file(STRINGS "${WXS}" upgrade_line REGEX "UpgradeCode=\"[0-9A-F-]+\"")
string(REGEX MATCH "UpgradeCode=\"([0-9A-F-]+)\"" _ "${upgrade_line}")
set(upgrade_code "${CMAKE_MATCH_1}")
execute_process(COMMAND "${MSIBUILD}" "${out}"
                  -q "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'"
                  -q "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty) VALUES ('{${upgrade_code}}', '${product_version}', 513, 'WIX_UPGRADE_DETECTED')"
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "msibuild could not make the upgrade take the same version")
endif()
message(STATUS "MSI: ${out} (ProductVersion ${product_version})")
