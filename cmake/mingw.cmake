# What both mingw-w64 toolchain files share; each sets VARNOLT_MINGW_PREFIX
# (the compilers' prefix) and VARNOLT_WINE_LOADER (Wine's loader for the
# architecture) first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model gives the complete C++ thread library; with -static
# its runtime (winpthread) is linked in, so the programs need no extra DLL.
find_program(CMAKE_CXX_COMPILER NAMES ${VARNOLT_MINGW_PREFIX}-g++-posix
                                      ${VARNOLT_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${VARNOLT_MINGW_PREFIX}-gcc-posix
                                    ${VARNOLT_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VARNOLT_MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${VARNOLT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: the C and C++ runtimes are linked in, so only
# DLLs that come with Windows are imported.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Release programs carry no symbols: the executable is what users download.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

# Test programs run through Wine, under CTest only: nothing runs them while
# building, so the build needs no Wine that can start them.
if(EXISTS "${VARNOLT_WINE_LOADER}")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARNOLT_WINE_LOADER})
endif()
