# Cross-compiles for 64-bit ARM Linux with Debian's cross tool chain
# (package crossbuild-essential-arm64); the programs run here under
# qemu-user (qemu-aarch64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ORVEL_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ORVEL_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${ORVEL_CROSS_PREFIX}-g++)

# Headers and libraries come from the arm64 sysroot only; programs that run
# during the build are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${ORVEL_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
