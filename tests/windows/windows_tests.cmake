# SPDX-License-Identifier: Apache-2.0
# Tests of the Windows build. The script scripts/build-windows.sh runs
# them under Wine. The test programs, a copy of histfeed.dll and the fake
# tarvoapi.dll share one directory, the first place Windows looks for a
# program's DLLs (and apart from bin/, where the examples find no fake).
set(HISTFEED_WINE_BIN ${CMAKE_BINARY_DIR}/test-bin)
target_sources(histfeed_test_support PRIVATE
  support/classic_fixture.cc
  support/fake_client_library.cc)

# The portable tests of the library's parts, in two programs (one per
# family, as some suites share names across the families).
add_executable(portable_suite_test
  platform_test.cc
  lazy_semaphore_test.cc
  platform_socket_test.cc
  record_queue_test.cc
  frame_format_test.cc
  config_record_test.cc
  record_buffers_test.cc
  universal_connection_test.cc
  send_data_test.cc
  universal_entry_points_test.cc
  windows/windows_platform_test.cc)
add_executable(classic_suite_test
  service_buffer_test.cc
  sender_test.cc
  service_load_test.cc
  flush_test.cc
  stop_process_test.cc
  network_protocol_test.cc
  network_client_library_test.cc
  classic_config_request_test.cc)
foreach(suite portable_suite_test classic_suite_test)
  target_link_libraries(${suite} PRIVATE histfeed_test_support)
  histfeed_apply_warnings(${suite})
  set_target_properties(${suite} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${HISTFEED_WINE_BIN})
endforeach()

add_dependencies(portable_suite_test fake_tarvoapi)

# histfeed.dll itself, beside the programs that load it.
add_custom_target(histfeed_beside_tests ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${HISTFEED_WINE_BIN}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:histfeed> ${HISTFEED_WINE_BIN}
  DEPENDS histfeed)

# The answering test plug-in as the maker's client library: its nine
# functions exported only by ordinal, so that nothing binds them by name.
add_library(fake_tarvoapi SHARED plugins/answering_plugin.c windows/tarvoapi.def)
target_include_directories(fake_tarvoapi PRIVATE ${PROJECT_SOURCE_DIR}/include)
set_target_properties(fake_tarvoapi PROPERTIES OUTPUT_NAME tarvoapi PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${HISTFEED_WINE_BIN})
histfeed_apply_warnings(fake_tarvoapi)

# The header tests (tests/CMakeLists.txt) run beside the DLL.
foreach(program c_api_test cpp_api_test)
  set_target_properties(${program} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${HISTFEED_WINE_BIN})
  add_dependencies(${program} histfeed_beside_tests)
endforeach()

# histfeed.dll as applications use it: loaded with LoadLibraryA, bound by
# ordinal and name, patched, unloaded. Links none of the library's code.
add_executable(dll_test windows/dll_test.cc windows/hot_patch.cc)
target_include_directories(dll_test PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include
  ${PROJECT_BINARY_DIR}/exports)
target_link_libraries(dll_test PRIVATE GTest::gtest ws2_32)
histfeed_apply_warnings(dll_test)
set_target_properties(dll_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${HISTFEED_WINE_BIN})
add_dependencies(dll_test histfeed_beside_tests fake_tarvoapi)
