# Cross-compiles linalg for 64-bit ARM Linux (aarch64) with Debian's
# g++-aarch64-linux-gnu against the arm64 multiarch packages (libgomp,
# GoogleTest, LAPACKE and OpenBLAS for the tests). The test programs run
# under qemu-user through CTest's cross-compiling emulator.
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(_triple aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_triple}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${_triple})
set(CMAKE_OBJDUMP ${_triple}-objdump CACHE FILEPATH "")
set(CMAKE_NM ${_triple}-nm CACHE FILEPATH "")

# Headers and libraries of the arm64 packages live in the multiarch
# directories of the host's root (/usr/include, /usr/lib/aarch64-linux-gnu).
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config (LAPACKE) reads the arm64 .pc files.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${_triple}/pkgconfig:/usr/share/pkgconfig)

# The programs' dynamic loader and C library are the cross toolchain's
# (-L: its ld-linux-aarch64.so.1, LD_LIBRARY_PATH: its libc.so.6). Without
# the path the loader would take libc.so.6 from the multiarch libc6:arm64 that
# the arm64 packages bring, a different build of the same version, and the
# pair hangs in the first pthread_create.
find_program(_qemu NAMES qemu-aarch64 qemu-aarch64-static)
if(_qemu)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu} -L /usr/${_triple} -E LD_LIBRARY_PATH=/usr/${_triple}/lib)
endif()
