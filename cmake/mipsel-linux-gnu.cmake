# Little-endian MIPS32 Linux with Debian's cross toolchain
# (g++-mipsel-linux-gnu). A box vendor's SDK drops in as a file like this one
# with its own compilers and sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(QUARNEL_TARGET mipsel-linux-gnu)
set(CMAKE_C_COMPILER ${QUARNEL_TARGET}-gcc)
set(CMAKE_CXX_COMPILER ${QUARNEL_TARGET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${QUARNEL_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target programs (tests, the benchmark's floor) run under qemu user mode.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel-static -L /usr/${QUARNEL_TARGET})
