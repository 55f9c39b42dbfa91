# Shared part of the toolchain files beside it: a Debian cross compiler named
# after VESPADORA_TRIPLET, its libraries under /usr/<triplet>, and qemu-user
# to run what it builds (tests included) on this machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VESPADORA_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VESPADORA_TRIPLET}-g++)
# The tests learn from VESPADORA_EMULADOR what they run under.
set(CMAKE_CROSSCOMPILING_EMULATOR ${VESPADORA_QEMU} -L /usr/${VESPADORA_TRIPLET} -E VESPADORA_EMULADOR=${VESPADORA_QEMU})

# Headers and libraries come only from the target's directories (GoogleTest,
# built for the target, is named by GTest_DIR); programs from this machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${VESPADORA_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
