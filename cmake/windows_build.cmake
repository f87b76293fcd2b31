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
# No link time in the header: the same sources and key make the same programs.
add_link_options(-Wl,--no-insert-timestamp)

# The programs start at transform_file, a __stdcall function without arguments: decorated on i386.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(WINDOWS_ENTRY_SYMBOL _transform_file@0)
    # On 64-bit Windows the i386 programs then get 4 GiB of address space instead of 2: room for a
    # larger buffer, though not for the largest file the run takes (docs/windows.md has the limits).
    add_link_options(-Wl,--large-address-aware)
else()
    set(WINDOWS_ENTRY_SYMBOL transform_file)
endif()
