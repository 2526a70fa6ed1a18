# Builds the Linux i686 (32-bit x86) programs with the host compiler's -m32
# (Debian's g++-multilib):
#   cmake --preset linux-i686   (or -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake)
# They run where the kernel runs 32-bit programs, and anywhere under
# qemu-i386-static (CHUNK_E2E_RUNNER); scripts/test-i686-linux.sh does both.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
# The 32-bit libraries of the multilib packages; nothing of the 64-bit host's.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE NEVER)
