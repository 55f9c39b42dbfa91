# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64), in
# its variant with POSIX threads, which GoogleTest needs:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# One .exe with the C++ runtime inside, nothing to install beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The Windows ABI keeps the stack aligned to 16 bytes only, and GCC does not
# realign it for 64-byte vectors: the assembler turns their aligned moves into
# unaligned ones, so that the AVX-512 kernels cannot fault on a spill.
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
# Tests and test discovery run the programs under wine, where it is installed.
find_program(WINE_PROGRAM NAMES wine wine64)
if(WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
