# Cross build for the board: 32-bit ARM, hard float, glibc (Debian's
# crossbuild-essential-armhf). Programs built here run on the build machine
# under qemu-arm, so the tests run as they are.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)

# Debian's multiarch packages of the board's architecture (installed as
# PACKAGE:armhf, for example libbenchmark-dev:armhf for the benchmarks) put
# their libraries here, outside the cross compiler's own root.
set(UT_BOARD_MULTIARCH_LIB_DIR /usr/lib/arm-linux-gnueabihf)
