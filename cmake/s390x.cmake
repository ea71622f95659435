# Cross build for s390x, a big-endian 64-bit host, with Debian's cross compilers
# (g++-s390x-linux-gnu); its programs run through qemu-user.  The tests start
# the built tools through CMAKE_CROSSCOMPILING_EMULATOR (see tests/run_tool.h).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)

# Headers and libraries of the target from its sysroot only; programs of the build host.
set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-user finds the target's dynamic loader and libraries under -L.
find_program(TOLV_QEMU_S390X NAMES qemu-s390x qemu-s390x-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TOLV_QEMU_S390X} -L /usr/s390x-linux-gnu)

# pkg-config looks at the target's .pc files only: a host library (CFITSIO) must
# not be linked into an s390x program.
set(ENV{PKG_CONFIG_LIBDIR} /usr/s390x-linux-gnu/lib/pkgconfig:/usr/lib/s390x-linux-gnu/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} /)
