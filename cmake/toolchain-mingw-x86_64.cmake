# Cross build for 64-bit Windows with Debian's mingw-w64 (x86_64), run under
# 64-bit Wine. Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VARNOLT_MINGW_PREFIX x86_64-w64-mingw32)
set(VARNOLT_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
