# Cross build for the set-top box: 32-bit MIPS, little-endian, glibc.
#
# Uses Debian's cross toolchain (package g++-mipsel-linux-gnu) and runs every
# target program of the test suite under user-mode QEMU (package qemu-user).
# QEMU finds the target's dynamic loader and libc under the sysroot given
# with -L; our own shared libraries are found through the build-tree RPATH,
# which QEMU resolves on the host file system when the sysroot lacks a path.
#
#   cmake --preset mipsel        (or)
#   cmake -B build/mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel-linux-gnu.cmake

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(KX_TARGET_TRIPLE mipsel-linux-gnu)
set(KX_TARGET_SYSROOT /usr/${KX_TARGET_TRIPLE} CACHE PATH
    "Target libraries and headers: searched by the linker, handed to QEMU with -L")

# Debian's mipsel packages the cross build takes (libedit for the console,
# the target libraries' shlibs and symbols files for the .deb Depends),
# prepared by cmake/prepare-mipsel-sysroot.sh; outside build/, so it
# survives removing the build trees.
get_filename_component(kx_default_sysroot ${CMAKE_CURRENT_LIST_DIR}/../sysroot/mipsel ABSOLUTE)
set(KX_DEBIAN_SYSROOT ${kx_default_sysroot} CACHE PATH
    "Debian's target packages unpacked by cmake/prepare-mipsel-sysroot.sh")

set(CMAKE_C_COMPILER ${KX_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KX_TARGET_TRIPLE}-g++)

# The binary tools of the same toolchain: interface tests inspect the target
# library with them (the host nm/readelf would do too, but this is explicit).
find_program(CMAKE_NM ${KX_TARGET_TRIPLE}-nm REQUIRED)
find_program(CMAKE_READELF ${KX_TARGET_TRIPLE}-readelf REQUIRED)
find_program(CMAKE_OBJDUMP ${KX_TARGET_TRIPLE}-objdump)

# Target programs (unit tests, interface checkers, the example shell) run
# through this emulator wherever CMake and CTest start them.
find_program(KX_QEMU qemu-mipsel REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KX_QEMU} -L ${KX_TARGET_SYSROOT})

# Look for programs on the host, for libraries and headers in the sysroot
# first (Debian's cross packages also live in the host's default paths).
set(CMAKE_FIND_ROOT_PATH ${KX_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
