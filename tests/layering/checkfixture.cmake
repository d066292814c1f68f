# Runs the layering check on a small tree with one fault of each kind and fails unless the check
# fails and names every one of them. Run as cmake -P this.
cmake_minimum_required(VERSION 3.25)
get_filename_component(here ${CMAKE_CURRENT_LIST_FILE} DIRECTORY)
execute_process(
  COMMAND ${CMAKE_COMMAND} -DLIBRARY=${here}/fixture/PallixBake "-DPROGRAMS=${here}/fixture/cmd;${here}/fixture/brevancmd" -P ${here}/checklayering.cmake
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(status EQUAL 0)
  message(FATAL_ERROR "The check passed a tree with upward includes:\n${output}")
endif()
set(expected
  "source/core/image.h: core/ includes bake/softwarebaker.h, which lies above or beside it"
  "source/io/objimporter.h: io/ includes trace/swtracemesh.h, which lies above or beside it"
  "source/platform/fbxscene.h: lies in no known folder of the layers"
  "cmd/main.cpp: includes bake/bakemanager.h, but the programs include only pallixbake.h"
  "cmd/main.cpp: includes \"missing.h\", which is neither a program's own nor pallixbake.h"
  "brevancmd/window.cpp: includes events/eventreporter.h, but the programs include only pallixbake.h"
  "6 includes against the layering")
foreach(line IN LISTS expected)
  string(FIND "${output}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "The check did not report: ${line}\nIt printed:\n${output}")
  endif()
endforeach()
message(STATUS "The check reports every fault of the fixture")
