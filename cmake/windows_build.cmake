# The Windows programs run without the C runtime: no exceptions, no RTTI, no unwind tables, and
# no library linked that the code does not name, no function linked that nothing calls (each in its
# own section, which the linker drops when unused). Resources (manifest, version) need RC.
enable_language(RC)
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:-ffreestanding;-fno-exceptions;-fno-rtti;-fno-asynchronous-unwind-tables;-ffunction-sections;-fdata-sections>")
add_link_options(-Wl,--gc-sections)
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# Windows Vista is the oldest system with SetFileInformationByHandle, which the output's delete
# disposition needs: the headers offer nothing newer and the executables ask for subsystem 6.0.
add_compile_definitions(_WIN32_WINNT=0x0600 WINVER=0x0600)
add_link_options(-Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,0
                 -Wl,--major-os-version,6 -Wl,--minor-os-version,0)

# The programs start at transform_file, a __stdcall function without arguments: decorated on i386.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(WINDOWS_ENTRY_SYMBOL _transform_file@0)
    # On 64-bit Windows the i386 programs then get 4 GiB of address space: room for a buffer as
    # large as the largest file the run takes (4 GiB - 1).
    add_link_options(-Wl,--large-address-aware)
else()
    set(WINDOWS_ENTRY_SYMBOL transform_file)
endif()

# The release is one zip, made by CPack from both Windows builds: the i386 programs and the guide
# at the top of its folder, the x86-64 programs in x64/. Its name carries the key's fingerprint
# where the build has one.
set(RELEASE_NAME blowfish-files-${PROJECT_VERSION})
if(DEFINED BLOWFISH_KEY_FINGERPRINT)
    string(APPEND RELEASE_NAME -key-${BLOWFISH_KEY_FINGERPRINT})
endif()
string(APPEND RELEASE_NAME -windows)
set(RELEASE_GUIDE ${PROJECT_BINARY_DIR}/programs/windows/README.txt)
# This build's part of the release, installed stripped as CPack installs it: the tests run these.
set(RELEASE_STAGE ${PROJECT_BINARY_DIR}/programs/windows/release)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(RELEASE_PROGRAM_FOLDER .)
    set(RELEASE_STAGED_PROGRAMS ${RELEASE_STAGE})
else()
    set(RELEASE_PROGRAM_FOLDER x64)
    set(RELEASE_STAGED_PROGRAMS ${RELEASE_STAGE}/x64)
    # The x86-64 build makes the zip, from its own programs and those of the i386 build beside it.
    cmake_path(GET PROJECT_BINARY_DIR PARENT_PATH build_trees)
    set(BLOWFISH_I386_BUILD_DIR ${build_trees}/windows-x86 CACHE PATH
        "The i386 build tree whose programs the release zip holds beside this build's")
    set(RELEASE_ZIP ${PROJECT_BINARY_DIR}/${RELEASE_NAME}.zip)
endif()
