# Packs the release zip as `cpack --preset windows` does, and unpacks it afresh into UNPACKED.
#   cmake -DI386_TREE=... -DCPACK_CONFIG=... -DZIP=... -DUNPACKED=... -P pack_release.cmake
if(NOT EXISTS ${I386_TREE}/CMakeCache.txt)
    message(FATAL_ERROR "The zip holds the i386 programs too: configure and build the windows-x86 preset "
                        "first (${I386_TREE}, set by BLOWFISH_I386_BUILD_DIR)")
endif()
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} --config ${CPACK_CONFIG} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${UNPACKED})
file(MAKE_DIRECTORY ${UNPACKED})
file(ARCHIVE_EXTRACT INPUT ${ZIP} DESTINATION ${UNPACKED})
