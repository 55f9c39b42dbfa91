# Cross build for i686 Linux with Debian's i686-linux-gnu toolchain, run under qemu-i386.
set(VESPADORA_TRIPLET i686-linux-gnu)
set(VESPADORA_QEMU qemu-i386)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
