# Cross build for 32-bit Windows with Debian's mingw-w64 (i686), run under
# 32-bit Wine. Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VARNOLT_MINGW_PREFIX i686-w64-mingw32)
set(VARNOLT_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
