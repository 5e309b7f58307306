# Cross-compiling for 32-bit ARM hard-float with the distribution's
# arm-linux-gnueabihf toolchain; the binaries run under qemu user emulation,
# so ctest (and gtest_discover_tests at build time) can run them here.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# GCC 7.1 changed how some arguments are passed on ARM and notes each
# template instance it touches; one compiler builds everything here.
string(APPEND CMAKE_CXX_FLAGS_INIT " -Wno-psabi")

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# GoogleTest for the target is built from source into a prefix given with
# CMAKE_PREFIX_PATH, outside the root path.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
