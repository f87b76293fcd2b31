# Cross-builds 64-bit ARM (aarch64) Linux programs with clang and Debian's arm64 multiarch packages
# (libc6-dev:arm64, libstdc++-12-dev:arm64 and the rest, in /usr/lib/aarch64-linux-gnu), and runs
# them, tests included, under qemu-aarch64 with the loader those packages install. Not with
# g++-aarch64-linux-gnu: Debian 12's cross compilers conflict with g++-multilib, which the i386
# build needs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_EXE_LINKER_FLAGS_INIT -fuse-ld=lld)
# Libraries and headers of the arm64 packages only; programs of the machine itself.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
find_program(QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64})
