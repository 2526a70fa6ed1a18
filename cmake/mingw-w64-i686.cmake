# Cross-compiles the Windows i686 (32-bit x86) programs with mingw-w64:
#   cmake --preset win32   (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake)
set(CHUNK_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
set(CMAKE_SYSTEM_PROCESSOR x86)
