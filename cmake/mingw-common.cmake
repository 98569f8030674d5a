# SPDX-License-Identifier: Apache-2.0
# Shared part of the mingw-w64 toolchain files. The -posix compilers use
# winpthreads, which the C++ thread library needs.
set(CMAKE_C_COMPILER ${HISTFEED_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HISTFEED_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${HISTFEED_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${HISTFEED_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs and the library carry the C++ runtime, libgcc and winpthreads
# inside, so that they need nothing but Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
