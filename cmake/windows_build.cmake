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

# The release: both programs and a plain-text guide in one folder, zipped.
set(RELEASE_FOLDER ${PROJECT_NAME}-${PROJECT_VERSION}-windows-x86)
set(RELEASE_ZIP ${PROJECT_BINARY_DIR}/${RELEASE_FOLDER}.zip)
set(RELEASE_GUIDE ${PROJECT_BINARY_DIR}/programs/windows/README.txt)
# The folder that is zipped: the programs in it are the shipped ones, which the i386 tests run.
set(RELEASE_STAGE ${PROJECT_BINARY_DIR}/programs/windows/release)
