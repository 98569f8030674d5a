# SPDX-License-Identifier: Apache-2.0
# Compares the defined dynamic symbols of LIBRARY with the names in EXPECTED.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(actual "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ ]+)$")
    # Sanitizer runtimes linked into the library are not ours. A failed
    # match clears CMAKE_MATCH_1, so the name is kept first.
    set(name ${CMAKE_MATCH_1})
    if(NOT name MATCHES "^(__asan|__ubsan|__tsan|__sanitizer|__lsan|_fini|_init)")
      list(APPEND actual ${name})
    endif()
  endif()
endforeach()
file(READ ${EXPECTED} expected)
list(SORT actual)
list(SORT expected)
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  actual:   ${actual}\n  expected: ${expected}")
endif()
message(STATUS "exported symbols match: ${actual}")
