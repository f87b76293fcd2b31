# The shipped i386 programs run in an emulated Win32 (Unicorn), which checks every call they make.
# Debian's own Python is named: it is the one that sees python3-unicorn, -pefile and -capstone.
set(SYSTEM_PYTHON /usr/bin/python3 CACHE FILEPATH "Python that has Debian's unicorn, pefile and capstone")
execute_process(COMMAND ${SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/emulated_cases.py --list
                OUTPUT_VARIABLE emulated_cases RESULT_VARIABLE listed OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT listed EQUAL 0)
    message(FATAL_ERROR "${SYSTEM_PYTHON} cannot list the emulated cases: install python3-unicorn and python3-pefile")
endif()
string(REPLACE "\n" ";" emulated_cases "${emulated_cases}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/emulated_cases.py)

foreach(case IN LISTS emulated_cases)
    add_test(NAME emulated_${case}
             COMMAND ${SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/emulated_cases.py ${case}
                     --encrypt ${tested_encrypt} --decrypt ${tested_decrypt} ${key_in_effect})
    set_tests_properties(emulated_${case} PROPERTIES LABELS i386 TIMEOUT 300 ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endforeach()

# Each program carries only its own direction: every path is run, and what no path runs is too
# little to be the other direction's code.
add_test(NAME programs_carry_one_direction
         COMMAND ${SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/check_one_direction.py
                 --encrypt ${tested_encrypt} --decrypt ${tested_decrypt} ${key_in_effect}
                 --nm ${CMAKE_NM} --symbols $<TARGET_FILE:encrypt> $<TARGET_FILE:decrypt>)
set_tests_properties(programs_carry_one_direction PROPERTIES LABELS i386 TIMEOUT 300
                                                               ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
