# Writes the version every program reports, run at each build (cmake -P) so that a new
# commit or a change to the tree shows without configuring again:
#   BASE      the project's version (1.3.0)
#   SOURCE    the source tree; its git revision is added when it is a checkout of its own
#   OUT_H     header defining TARNEXIO_VERSION_STRING and the numeric parts
#   OUT_TXT   the same string alone (read by the packaging)
# A file is rewritten only when its text changes, so an unchanged version rebuilds nothing.
set(version "${BASE}")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE}" rev-parse --show-toplevel
                  OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  # Only the project's own checkout counts, not a repository the tree merely lies in.
  if(NOT failed)
    get_filename_component(top "${top}" REALPATH)
    get_filename_component(source_real "${SOURCE}" REALPATH)
  endif()
  if(NOT failed AND top STREQUAL source_real)
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE}" rev-parse --short=7 HEAD
                    OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND revision)
      set(version "${version}+g${revision}")
      execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE}" status --porcelain --untracked-files=no
                      OUTPUT_VARIABLE changes RESULT_VARIABLE failed ERROR_QUIET)
      if(NOT failed AND NOT changes STREQUAL "")
        set(version "${version}-dirty")
      endif()
    endif()
  endif()
endif()

string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)" numbers "${BASE}")
set(header "// Generated at build time from the project's version and the source revision.
#pragma once
#define TARNEXIO_VERSION_STRING \"${version}\"
#define TARNEXIO_VERSION_MAJOR ${CMAKE_MATCH_1}
#define TARNEXIO_VERSION_MINOR ${CMAKE_MATCH_2}
#define TARNEXIO_VERSION_PATCH ${CMAKE_MATCH_3}
")
foreach(pair "OUT_H;header" "OUT_TXT;version")
  list(GET pair 0 file_var)
  list(GET pair 1 text_var)
  if(${file_var})
    set(old "")
    if(EXISTS "${${file_var}}")
      file(READ "${${file_var}}" old)
    endif()
    if(NOT old STREQUAL "${${text_var}}")
      file(WRITE "${${file_var}}" "${${text_var}}")
    endif()
  endif()
endforeach()
