# Cross build for aarch64 Linux with Debian's aarch64-linux-gnu toolchain
# (package g++-aarch64-linux-gnu). Tests run under user-mode emulation (qemu-aarch64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The toolchain's own root, then Debian's multiarch packages for the
# target (libcurl4-openssl-dev:ARCH) in /usr/lib/aarch64-linux-gnu
# and /usr/include/aarch64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The prefix goes in the environment rather than as -L, so that target
# programs the tests start in turn (through binfmt_misc) find their libraries
# too, with or without a preset. Once Debian's multiarch C library for the
# target is installed (libcurl pulls it in), its loader must be the one used:
# the toolchain's older loader would take the newer libc.so.6 from the shared
# ld.so.cache, and forked children die of SIGSEGV.
if(EXISTS /lib/ld-linux-aarch64.so.1)
  set(CMAKE_CROSSCOMPILING_EMULATOR env QEMU_LD_PREFIX=/ qemu-aarch64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR env QEMU_LD_PREFIX=/usr/aarch64-linux-gnu qemu-aarch64)
endif()
