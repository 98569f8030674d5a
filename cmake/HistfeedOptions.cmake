# SPDX-License-Identifier: Apache-2.0
# Compiler options shared by every target of the project.

option(HISTFEED_WERROR "Treat warnings as errors" OFF)
option(HISTFEED_THREAD_SAFETY "Check lock annotations with clang's -Wthread-safety" OFF)
if(HISTFEED_THREAD_SAFETY AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "HISTFEED_THREAD_SAFETY needs clang")
endif()

function(histfeed_apply_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(HISTFEED_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(HISTFEED_THREAD_SAFETY)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wthread-safety>)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # g++ 12 at -O3 takes "text" + std::string for an overlapping memcpy
    # (a known false -Wrestrict), which would fail a Release build with
    # warnings as errors.
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT WIN32)
    # Unique symbols would keep the library mapped after dlclose.
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-gnu-unique>)
  endif()
endfunction()

if(HISTFEED_BUILD_FUZZERS)
  # Everything is instrumented for coverage; the fuzz targets add libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(HISTFEED_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(HISTFEED_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT HISTFEED_SANITIZE STREQUAL "")
  message(FATAL_ERROR "HISTFEED_SANITIZE must be empty, 'address' or 'thread'")
endif()
