# Cross build for 32-bit Windows with Debian's mingw-w64 (i686), run under
# Wine. Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VARNOLT_MINGW_PREFIX i686-w64-mingw32)
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

# The program's own texts are Windows-1252 bytes on this platform, where the
# ANSI services read them; the sources stay UTF-8.
set(CMAKE_CXX_FLAGS_INIT "-fexec-charset=CP1252")
# One self-contained executable: the C and C++ runtimes are linked in, so only
# DLLs that come with Windows are imported.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs (and GoogleTest's discovery) run through Wine.
find_program(VARNOLT_WINE NAMES wine)
if(VARNOLT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARNOLT_WINE})
endif()
# Release programs carry no symbols: the executable is what users download.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
