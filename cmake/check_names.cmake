# Fails when a name retired for another of the same concept comes back in a C++ file under
# src, tools, tests, fuzz or bench of ROOT (tests/layers, which holds a file that uses them
# on purpose, aside): the driver's control codes have one name (IOCTL_BTFTM_* in
# wire/ftm_contract.h), the H4 types one (H4_* in wire/h4.h), the little-endian helpers one
# (wire::Le16, Le32, PutLe16, PutLe32), and ParseLogPacket is the wire's alone. Run as:
# cmake -DROOT=<source dir> -P check_names.cmake
cmake_policy(SET CMP0007 NEW)
set(retired
    "H4_TYPE_(COMMAND|ACL|SCO|EVENT)"
    "(^|[^A-Za-z0-9_])k(ReadEvent|SendHciCmd|EnableFtm|SendAcl|ReadAcl|SendSco|ReadSco|SelectScoInf)([^A-Za-z0-9_]|$)"
    "constexpr[ \t]+DWORD[ \t]+IOCTL_BTFTM_"
    "(^|[^A-Za-z0-9_])(le16|le32|putLe16|putLe32)[ \t]*\\("
    "Incoming[ \t]+ParseLogPacket")

if(NOT ROOT)
  message(FATAL_ERROR "check_names: ROOT is not set")
endif()

set(found "")
foreach(dir IN ITEMS src tools tests fuzz bench)
  file(GLOB_RECURSE files "${ROOT}/${dir}/*.h" "${ROOT}/${dir}/*.cpp")
  list(FILTER files EXCLUDE REGEX "^${ROOT}/tests/layers/")
  foreach(file IN LISTS files)
    foreach(pattern IN LISTS retired)
      file(STRINGS "${file}" lines REGEX "${pattern}")
      foreach(line IN LISTS lines)
        string(REPLACE ";" "" line "${line}")
        list(APPEND found "${file}: ${line}")
      endforeach()
    endforeach()
  endforeach()
endforeach()

list(REMOVE_DUPLICATES found)
if(found)
  list(JOIN found "\n  " text)
  message(FATAL_ERROR "Retired names in use:\n  ${text}")
endif()
message(STATUS "One name per concept")
