# Cross-builds Windows on ARM programs (aarch64) with Debian's clang-14 and lld-14, against
# mingw-w64's headers. There is no mingw-w64 runtime or import library for ARM64 in Debian: the
# programs need neither a runtime (the stack probe clang may call is run/win32_stack_probe.cpp) nor
# any import library but the two that windows_build.cmake makes with llvm-dlltool-14 from
# programs/windows/*.def. The C++ headers they use (<array>, <span>,
# <atomic>, <cstdint>, all header-only) are those of mingw-w64's x86-64 libstdc++, configured, as
# ARM64 would be, for a 64-bit Windows with 4-byte long.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(mingw_triplet aarch64-w64-mingw32)

set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_COMPILER_TARGET ${mingw_triplet})
set(CMAKE_RC_COMPILER llvm-windres-14)
set(CMAKE_RC_FLAGS_INIT "--target=${mingw_triplet} -I/usr/share/mingw-w64/include")
foreach(tool AR RANLIB NM STRIP OBJCOPY OBJDUMP)
    string(TOLOWER ${tool} name)
    set(CMAKE_${tool} llvm-${name}-14)
endforeach()
set(CMAKE_DLLTOOL llvm-dlltool-14)

file(GLOB libstdcxx_headers /usr/lib/gcc/x86_64-w64-mingw32/*-win32/include/c++)
list(GET libstdcxx_headers -1 libstdcxx_headers)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${libstdcxx_headers} ${libstdcxx_headers}/x86_64-w64-mingw32
    /usr/share/mingw-w64/include)
set(CMAKE_EXE_LINKER_FLAGS_INIT -fuse-ld=lld)
# Without a runtime no program links before the build has made its import libraries.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH /usr/share/mingw-w64)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
