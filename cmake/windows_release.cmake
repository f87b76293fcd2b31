# The Windows release is one zip, made by CPack from the three Windows builds: the i386 programs and
# the guide at the top of its folder, the x86-64 programs in x64/, the ARM64 ones in arm64/. Its
# name carries the key's fingerprint where the build has one (BLOWFISH_KEY_FINGERPRINT): this file
# is included where the programs are installed and where the zip is tested, after the top level has
# set it.
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
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
    set(RELEASE_PROGRAM_FOLDER arm64)
    set(RELEASE_STAGED_PROGRAMS ${RELEASE_STAGE}/arm64)
else()
    set(RELEASE_PROGRAM_FOLDER x64)
    set(RELEASE_STAGED_PROGRAMS ${RELEASE_STAGE}/x64)
    # The x86-64 build makes the zip, from its own programs and those of the i386 and ARM64 builds
    # beside it.
    cmake_path(GET PROJECT_BINARY_DIR PARENT_PATH build_trees)
    set(BLOWFISH_I386_BUILD_DIR ${build_trees}/windows-x86 CACHE PATH
        "The i386 build tree whose programs the release zip holds beside this build's")
    set(BLOWFISH_ARM64_BUILD_DIR ${build_trees}/windows-arm64 CACHE PATH
        "The ARM64 build tree whose programs the release zip holds in arm64/")
    set(RELEASE_ZIP ${PROJECT_BINARY_DIR}/${RELEASE_NAME}.zip)
endif()
