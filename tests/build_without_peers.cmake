# cmake -DSOURCE_DIR=... -DBINARY_DIR=... -DBLOWFISH_KEY=... -P build_without_peers.cmake
# Configures the project as a newcomer without OpenSSL and without GoogleTest would (so neither the
# benchmark's peers nor the tests), then builds both programs.
function(step)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(failed)
        list(JOIN ARGV " " command)
        message(FATAL_ERROR "failed (${failed}): ${command}\n${output}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${BINARY_DIR})
step(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BINARY_DIR} -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
     -DBLOWFISH_KEY=${BLOWFISH_KEY} -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
foreach(expected "Benchmark not built: OpenSSL" "GoogleTest not found")
    string(FIND "${output}" "${expected}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "configure did not say \"${expected}\":\n${output}")
    endif()
endforeach()
# Fails unless both programs are built.
step(${CMAKE_COMMAND} --build ${BINARY_DIR} --target encrypt decrypt)
message(STATUS "configured and built without OpenSSL and GoogleTest")
