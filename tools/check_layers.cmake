cmake_policy(SET CMP0007 NEW)
# Fails when a source file includes a header of a layer above its own or
# beside it: each folder of src/ may include its own headers and those of the
# folders listed after it here.
set(allowed
  "platform:"
  "codec/common:platform"
  "codec/huff:codec/common,platform"
  "codec/lz:codec/huff,codec/common,platform"
  "codec/ppm:codec/common,platform"
  "codec:codec/lz,codec/ppm,codec/huff,codec/common,platform"
  "archive:codec,codec/lz,codec/ppm,codec/huff,codec/common,platform"
  "formats:archive,codec,codec/lz,codec/ppm,codec/huff,codec/common,platform"
  "driver:formats,archive,codec,codec/lz,codec/ppm,codec/huff,codec/common,platform")
set(failures "")
foreach(rule ${allowed})
  string(REPLACE ":" ";" parts "${rule}")
  list(GET parts 0 folder)
  list(LENGTH parts count)
  set(uses "${folder}")
  if(count GREATER 1)
    list(GET parts 1 below)
    string(REPLACE "," ";" below "${below}")
    list(APPEND uses ${below})
  endif()
  file(GLOB files ${SOURCE_DIR}/src/${folder}/*.h ${SOURCE_DIR}/src/${folder}/*.cpp)
  foreach(file ${files})
    file(STRINGS ${file} lines REGEX "^#include \"[^\"]+\"")
    foreach(line ${lines})
      string(REGEX REPLACE "^#include \"([^\"]+)/[^/\"]+\".*" "\\1" included "${line}")
      list(FIND uses "${included}" found)
      if(found EQUAL -1)
        string(APPEND failures "\n  ${file}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(failures)
  message(FATAL_ERROR "includes across the layers:${failures}")
endif()
