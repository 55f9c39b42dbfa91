# Cross build for aarch64 Linux with Debian's aarch64-linux-gnu toolchain, run under qemu-aarch64.
set(VESPADORA_TRIPLET aarch64-linux-gnu)
set(VESPADORA_QEMU qemu-aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
