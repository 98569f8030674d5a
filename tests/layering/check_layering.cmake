# SPDX-License-Identifier: Apache-2.0
# Builds each layering probe of BUILD_DIR and checks its fate: a probe
# whose header lies on a floor its layer may use must compile; one that
# reaches a floor above (or a layer not linked) must fail, and fail for
# not finding that header, not for any other reason.
#   cmake -DBUILD_DIR=<dir> -DPROBES=<target>=<header>=<ok|fails>;... -P check_layering.cmake
set(failures "")
foreach(probe IN LISTS PROBES)
  string(REPLACE "=" ";" fields "${probe}")
  list(GET fields 0 target)
  list(GET fields 1 header)
  list(GET fields 2 expected)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${target}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(expected STREQUAL "ok" AND NOT result EQUAL 0)
    string(APPEND failures "${target}: ${header} should compile, but:\n${output}\n")
  elseif(expected STREQUAL "fails")
    if(result EQUAL 0)
      string(APPEND failures "${target}: ${header} compiled, though its floor is out of reach\n")
    elseif(NOT output MATCHES "${header}")
      string(APPEND failures "${target}: failed, but not for ${header}:\n${output}\n")
    else()
      message(STATUS "${target}: ${header} is out of reach, as it should be")
    endif()
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
