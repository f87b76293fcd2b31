# cmake -DBINARY_DIR=... -DBLOWFISH_KEY=... [-DGOOGLETEST_SOURCE=...] -P run.cmake
# Configures and builds the i386 project in BINARY_DIR, then runs its test under qemu-i386.
if(NOT GOOGLETEST_SOURCE)
    set(GOOGLETEST_SOURCE /usr/src/googletest)
endif()
find_program(QEMU_I386 qemu-i386 REQUIRED)

function(step)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE failed)
    if(failed)
        list(JOIN ARGV " " command)
        message(FATAL_ERROR "failed (${failed}): ${command}")
    endif()
endfunction()

step(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR} -B ${BINARY_DIR} -DCMAKE_BUILD_TYPE=Release
     -DBLOWFISH_KEY=${BLOWFISH_KEY} -DGOOGLETEST_SOURCE=${GOOGLETEST_SOURCE})
step(${CMAKE_COMMAND} --build ${BINARY_DIR} --target multi_block_test_i386 -j2)
step(${QEMU_I386} ${BINARY_DIR}/multi_block_test_i386)
