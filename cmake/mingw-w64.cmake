# Cross-compiles the Windows x86-64 programs with mingw-w64 from Linux:
#   cmake --preset win64   (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
if(NOT CHUNK_MINGW_TRIPLET)
  set(CHUNK_MINGW_TRIPLET x86_64-w64-mingw32)
endif()

# Debian ships two thread models. GoogleTest needs std::mutex, which only
# the posix one has; the programs link its winpthread statically, so they
# still need no DLL beside them. Take it by name whatever the default is.
if(EXISTS /usr/bin/${CHUNK_MINGW_TRIPLET}-g++-posix)
  set(CMAKE_C_COMPILER ${CHUNK_MINGW_TRIPLET}-gcc-posix)
  set(CMAKE_CXX_COMPILER ${CHUNK_MINGW_TRIPLET}-g++-posix)
else()
  set(CMAKE_C_COMPILER ${CHUNK_MINGW_TRIPLET}-gcc)
  set(CMAKE_CXX_COMPILER ${CHUNK_MINGW_TRIPLET}-g++)
endif()
set(CMAKE_RC_COMPILER ${CHUNK_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CHUNK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
