# Cross build for 32-bit Arm (armhf) Linux with Debian's arm-linux-gnueabihf toolchain, run under qemu-arm.
set(VESPADORA_TRIPLET arm-linux-gnueabihf)
set(VESPADORA_QEMU qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
