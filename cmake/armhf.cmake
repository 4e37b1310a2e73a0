# Cross build for armhf Linux with Debian's arm-linux-gnueabihf toolchain
# (package g++-arm-linux-gnueabihf). Tests run under user-mode emulation (qemu-arm).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# GCC notes that it passes some iterators differently from GCC before 7.1:
# nothing here links code built by such a compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# The toolchain's own root, then Debian's multiarch packages for the
# target (libcurl4-openssl-dev:ARCH) in /usr/lib/arm-linux-gnueabihf
# and /usr/include/arm-linux-gnueabihf.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
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
if(EXISTS /lib/ld-linux-armhf.so.3)
  set(CMAKE_CROSSCOMPILING_EMULATOR env QEMU_LD_PREFIX=/ qemu-arm)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR env QEMU_LD_PREFIX=/usr/arm-linux-gnueabihf qemu-arm)
endif()
