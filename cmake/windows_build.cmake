# The Windows programs run without the C runtime: no exceptions, no RTTI, no unwind tables, and
# no library linked that the code does not name, no function linked that nothing calls (each in its
# own section, which the linker drops when unused). Resources (manifest, version) need RC.
enable_language(RC)
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:-ffreestanding;-fno-exceptions;-fno-rtti;-fno-asynchronous-unwind-tables;-ffunction-sections;-fdata-sections>")
add_link_options(-Wl,--gc-sections)
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# The programs start at transform_file, a __stdcall function without arguments: decorated on i386.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(WINDOWS_ENTRY_SYMBOL _transform_file@0)
else()
    set(WINDOWS_ENTRY_SYMBOL transform_file)
endif()

# The release: both programs and the README in one folder, zipped.
set(RELEASE_FOLDER ${PROJECT_NAME}-${PROJECT_VERSION}-windows-x86)
set(RELEASE_ZIP ${PROJECT_BINARY_DIR}/${RELEASE_FOLDER}.zip)
