# Packs the release zip as `cpack --preset windows` does, and unpacks it afresh into UNPACKED.
#   cmake -DCPACK_CONFIG=... -DZIP=... -DUNPACKED=... -P pack_release.cmake
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} --config ${CPACK_CONFIG} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${UNPACKED})
file(MAKE_DIRECTORY ${UNPACKED})
file(ARCHIVE_EXTRACT INPUT ${ZIP} DESTINATION ${UNPACKED})
