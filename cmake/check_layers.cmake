# Fails when a source file under SRC includes a header of a layer that is not below its
# own. Run as: cmake -DSRC=<src dir> -P check_layers.cmake
#
# The layers from the bottom up; a layer may include its own headers and those of the
# layers listed for it.
set(allowed_platform platform wire)
set(allowed_wire wire)
set(allowed_core core platform wire)
set(allowed_driver driver ${allowed_core})
set(allowed_diag diag ${allowed_driver})
set(allowed_forward forward ${allowed_diag})
set(allowed_hostlink hostlink ${allowed_diag})
set(allowed_app app forward hostlink ${allowed_diag})
set(layers platform wire core driver diag forward hostlink app)

if(NOT SRC)
  message(FATAL_ERROR "check_layers: SRC is not set")
endif()

set(violations "")
foreach(layer IN LISTS layers)
  file(GLOB_RECURSE files "${SRC}/${layer}/*.h" "${SRC}/${layer}/*.cpp")
  foreach(file IN LISTS files)
    file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"/]+)/.*" "\\1" target "${line}")
      list(FIND layers "${target}" known)
      list(FIND allowed_${layer} "${target}" permitted)
      if(known GREATER -1 AND permitted EQUAL -1)
        file(RELATIVE_PATH shown "${SRC}" "${file}")
        list(APPEND violations "${shown}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Includes against the layer order:\n  ${text}")
endif()
message(STATUS "Every include follows the layer order")
