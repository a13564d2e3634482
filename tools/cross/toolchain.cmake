# Cross-compiling with Debian's cross compilers (package g++-<triple>) for a
# target named by VOXARIA_TRIPLE (aarch64-linux-gnu, s390x-linux-gnu, ...),
# whose programs run here under qemu-user (package qemu-user-static).
# tools/cross-test sets both; see there.
set(CMAKE_SYSTEM_NAME Linux)
if(NOT VOXARIA_TRIPLE)
  set(VOXARIA_TRIPLE $ENV{VOXARIA_TRIPLE})
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${VOXARIA_TRIPLE}")
set(CMAKE_C_COMPILER ${VOXARIA_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VOXARIA_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${VOXARIA_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The host's libraries (libpulse for the desktop companion) are not the
# target's: pkg-config finds nothing.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VOXARIA_TRIPLE}/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# qemu-user, statically linked, so that a preloaded library of the target's
# (the simulated card) is loaded by the target's loader and never by qemu's.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR}-static -L /usr/${VOXARIA_TRIPLE})
