# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 tool chain
# (packages g++-mingw-w64-i686 and binutils-mingw-w64-i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ORVEL_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ORVEL_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${ORVEL_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${ORVEL_MINGW_PREFIX}-windres)

# Headers and libraries come from the Windows sysroot only; programs that
# run during the build are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${ORVEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
