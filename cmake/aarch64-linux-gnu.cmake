# SPDX-License-Identifier: MIT
# aarch64-linux-gnu.cmake -- a cross build for 64-bit Arm Linux with
# Debian's g++-aarch64-linux-gnu, whose tests run under qemu-aarch64
# (Debian's qemu-user):
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#   cmake --build build-arm64 -j 2 && QEMU_CPU=max,sve128=on ctest --test-dir build-arm64 -LE slow
#
# QEMU_CPU chooses the emulated CPU (cortex-a72 has no SVE; max,sve512=on
# has 512-bit vectors).  GoogleTest is built for the target from Debian's
# source package (googletest, in /usr/src/googletest).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triple aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_OBJDUMP ${triple}-objdump CACHE FILEPATH "the target's objdump, for the disassembly tests")

# The target's libraries from its own folder; headers-only packages (the
# JSON library) and GoogleTest's sources from the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Every test runs under the emulator, with the target's C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${triple})

# GoogleTest from Debian's source package, built for the target.
set(MEMSWEEP_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources, built for the target")
