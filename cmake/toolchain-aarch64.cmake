# 64-bit Arm cross build: Debian's aarch64 cross compiler, with the test
# programs run under qemu-user against the cross C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TARNWICK_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${TARNWICK_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARNWICK_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNWICK_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without qemu the release build for the Linux tarball still builds; only
# the tests cannot run.
find_program(TARNWICK_QEMU qemu-aarch64)
if(TARNWICK_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNWICK_QEMU} -L /usr/${TARNWICK_TRIPLET})
endif()
