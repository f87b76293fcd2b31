# The Windows programs run without the C runtime: no exceptions, no RTTI, no unwind tables, and
# no library linked that the code does not name, no function linked that nothing calls (each in its
# own section, which the linker drops when unused). Resources (manifest, version) need RC.
enable_language(RC)
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:-ffreestanding;-fno-exceptions;-fno-rtti;-fno-asynchronous-unwind-tables;-ffunction-sections;-fdata-sections>")
add_link_options(-Wl,--gc-sections)
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# Windows Vista is the oldest system with SetFileInformationByHandle, which the output's delete
# disposition needs: the headers offer nothing newer and the executables ask for subsystem 6.0.
# ARM64 programs ask for 6.2, the oldest version Microsoft's linker writes for that processor (every
# Windows on ARM64 is Windows 10 or later).
add_compile_definitions(_WIN32_WINNT=0x0600 WINVER=0x0600)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
    set(subsystem_minor 2)
else()
    set(subsystem_minor 0)
endif()
add_link_options(-Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,${subsystem_minor}
                 -Wl,--major-os-version,6 -Wl,--minor-os-version,${subsystem_minor})
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

# Debian has no import libraries for ARM64: the two the programs link are made from the lists of
# the functions they call (programs/windows/*.def), so nothing else can be imported.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
    set(import_libraries ${PROJECT_BINARY_DIR}/import-libraries)
    file(MAKE_DIRECTORY ${import_libraries})
    foreach(library kernel32 comdlg32)
        set(definition ${PROJECT_SOURCE_DIR}/programs/windows/${library}.def)
        execute_process(COMMAND ${CMAKE_DLLTOOL} -m arm64 -d ${definition} -l ${import_libraries}/lib${library}.a
                        RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "${CMAKE_DLLTOOL} could not make the import library of ${definition}")
        endif()
        set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${definition})
    endforeach()
    link_directories(${import_libraries})
endif()
