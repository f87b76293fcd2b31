# The shipped i386 programs run in an emulated Win32 (Unicorn), which checks every call they make.
# Debian's own Python is named: it is the one that sees python3-unicorn, -pefile and -capstone.
set(SYSTEM_PYTHON /usr/bin/python3 CACHE FILEPATH "Python that has Debian's unicorn, pefile and capstone")
add_case_tests(emulated ${SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/emulated_cases.py
               ARGS --encrypt ${tested_encrypt} --decrypt ${tested_decrypt} ${key_in_effect}
               PROPERTIES LABELS i386 TIMEOUT 300)

# Each program carries only its own direction: every path is run, and what no path runs is too
# little to be the other direction's code.
add_test(NAME programs_carry_one_direction
         COMMAND ${SYSTEM_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/check_one_direction.py
                 --encrypt ${tested_encrypt} --decrypt ${tested_decrypt} ${key_in_effect}
                 --nm ${CMAKE_NM} --symbols $<TARGET_FILE:encrypt> $<TARGET_FILE:decrypt>)
set_tests_properties(programs_carry_one_direction PROPERTIES LABELS i386 TIMEOUT 300)
