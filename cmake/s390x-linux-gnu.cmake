# Cross build for s390x Linux with Debian's s390x-linux-gnu toolchain, run under qemu-s390x.
set(VESPADORA_TRIPLET s390x-linux-gnu)
set(VESPADORA_QEMU qemu-s390x)
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
