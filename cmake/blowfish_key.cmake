# The key both programs are built with, as hex digits.
#
# blowfish_choose_key() sets BLOWFISH_KEY to the key in effect: the cache variable BLOWFISH_KEY when
# one was given, otherwise the key in the key file (BLOWFISH_KEY_FILE, by default blowfish.key in
# the source tree). A missing default key file is made from 16 bytes of the system's random source.
# A key file that exists is never replaced: a malformed, empty or unreadable one stops the
# configure step, since the files encrypted under its key could not be decrypted again.

# The earlier builds' default key was published; only its digest is kept, to recognise it.
set(BLOWFISH_PUBLISHED_KEY_SHA256 "17a28b6fef9bc337f60f0cc1a2da6ad520785415b5feed6c1381d209cd2cc2d6")
set(BLOWFISH_PUBLISHED_KEY_HELPSTRING "The key both programs are built with: 4 to 56 bytes written as hex digits")

# Stops the configure step with a message that says what is wrong with a malformed key. WHERE names
# where the key came from; REMEDY, if given, is appended to the message.
function(blowfish_check_key key where)
    set(remedy "${ARGN}")
    string(LENGTH "${key}" digits)
    math(EXPR remainder "${digits} % 2")
    math(EXPR bytes "${digits} / 2")
    if(digits EQUAL 0)
        set(fault "is empty: give 4 to 56 bytes as hex digits, e.g. 0123456789abcdef")
    elseif(NOT key MATCHES "^[0-9A-Fa-f]+$")
        set(fault "is not hex: it may hold only the digits 0-9 and a-f")
    elseif(NOT remainder EQUAL 0)
        set(fault "has an odd number of hex digits (${digits}): each byte takes two")
    elseif(bytes LESS 4)
        set(fault "is too short: ${bytes} bytes, Blowfish takes 4 to 56")
    elseif(bytes GREATER 56)
        set(fault "is too long: ${bytes} bytes, Blowfish takes 4 to 56")
    else()
        return()
    endif()
    message(FATAL_ERROR "${where} ${fault}${remedy}")
endfunction()

# Checks a key given as hex and turns it into a C++ initializer list of its bytes.
function(blowfish_key_bytes key out_bytes out_length)
    blowfish_check_key("${key}" BLOWFISH_KEY)
    string(LENGTH "${key}" digits)
    math(EXPR bytes "${digits} / 2")
    string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " list "${key}")
    string(REGEX REPLACE ", $" "" list "${list}")
    set(${out_bytes} "${list}" PARENT_SCOPE)
    set(${out_length} "${bytes}" PARENT_SCOPE)
endfunction()

# Reads and checks the key in the key file PATH (hex digits; surrounding white space is ignored).
function(blowfish_read_key_file path out_key)
    set(remedy ".\nThe key file is never replaced by a new key: files encrypted under its key could not be decrypted again. Restore it from your copy, or give another with -DBLOWFISH_KEY_FILE=<path> or -DBLOWFISH_KEY=<hex>.")
    # CMake's own tests (EXISTS, file(READ)) take an unreadable file for a missing one: ask stat and cat.
    execute_process(COMMAND stat -L -c %F -- "${path}" OUTPUT_VARIABLE type ERROR_QUIET RESULT_VARIABLE missing)
    if(missing)
        message(FATAL_ERROR "The key file ${path} does not exist${remedy}")
    elseif(type MATCHES "directory")
        message(FATAL_ERROR "The key file ${path} is a folder, not a file${remedy}")
    endif()
    execute_process(COMMAND cat -- "${path}" OUTPUT_VARIABLE content ERROR_VARIABLE why RESULT_VARIABLE failed)
    if(failed)
        string(STRIP "${why}" why)
        message(FATAL_ERROR "The key file ${path} cannot be read (${why})${remedy}")
    endif()
    string(STRIP "${content}" key)
    blowfish_check_key("${key}" "The key file ${path}" "${remedy}")
    set(${out_key} "${key}" PARENT_SCOPE)
endfunction()

# Makes the key file PATH from 16 bytes of the system's random source, readable by its owner only.
# It is written whole under a temporary name first, so that no half-written key file is left, and
# inside a folder that only this user may enter, made so before the key is in it: the file is made
# private there and only then moved into place, so that no other user can open it at any moment,
# whatever the umask (one who opened it would keep it open and read the key later).
# Sets OUT_MADE to true when this call made it.
function(blowfish_make_key_file path out_made)
    execute_process(COMMAND od -A n -v -t x1 -N 16 /dev/urandom
                    OUTPUT_VARIABLE random ERROR_VARIABLE why RESULT_VARIABLE failed)
    string(REGEX REPLACE "[ \t\r\n]" "" key "${random}")
    if(failed OR NOT key MATCHES "^[0-9a-f]+$")
        message(FATAL_ERROR "Could not read 16 random bytes from /dev/urandom for a new key (${failed} ${why}). Give a key with -DBLOWFISH_KEY=<hex> or -DBLOWFISH_KEY_FILE=<path>.")
    endif()
    string(LENGTH "${key}" digits)
    if(NOT digits EQUAL 32)
        message(FATAL_ERROR "Read ${digits} hex digits from /dev/urandom for a new key, not 32.")
    endif()
    string(SHA1 writer "${CMAKE_BINARY_DIR}")
    set(private "${path}.new-${writer}")
    set(draft "${private}/key")
    file(REMOVE_RECURSE "${private}")
    file(MAKE_DIRECTORY "${private}")
    file(CHMOD "${private}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    file(WRITE "${draft}" "${key}\n")
    file(CHMOD "${draft}" PERMISSIONS OWNER_READ OWNER_WRITE)
    # Fails if another configure made PATH meanwhile: then that one is read.
    file(RENAME "${draft}" "${path}" NO_REPLACE RESULT not_renamed)
    file(REMOVE_RECURSE "${private}")
    if(not_renamed)
        set(${out_made} FALSE PARENT_SCOPE)
    else()
        set(${out_made} TRUE PARENT_SCOPE)
    endif()
endfunction()

# Sets BLOWFISH_KEY, BLOWFISH_KEY_BYTES and BLOWFISH_KEY_LENGTH in the caller's scope, and
# BLOWFISH_KEY_FILE_IN_USE to the key file's path when the key came from one (empty otherwise).
function(blowfish_choose_key)
    set(default_key_file "${PROJECT_SOURCE_DIR}/blowfish.key")

    # A build folder configured by an earlier version holds the published default key in its cache.
    if(DEFINED CACHE{BLOWFISH_KEY})
        get_property(help CACHE BLOWFISH_KEY PROPERTY HELPSTRING)
        string(SHA256 digest "$CACHE{BLOWFISH_KEY}")
        if(digest STREQUAL BLOWFISH_PUBLISHED_KEY_SHA256 AND help STREQUAL BLOWFISH_PUBLISHED_KEY_HELPSTRING)
            message(WARNING "This build folder was configured with the earlier builds' default key, which was published. "
                            "It is dropped; the key now comes from a key file. Files encrypted with that key are not protected.")
            unset(BLOWFISH_KEY CACHE)
        endif()
    endif()

    if(DEFINED CACHE{BLOWFISH_KEY})
        set(key "$CACHE{BLOWFISH_KEY}")
        set(BLOWFISH_KEY "${key}" CACHE STRING "The key both programs are built with, as 4 to 56 bytes of hex digits (unset: the key in BLOWFISH_KEY_FILE)")
        string(SHA256 digest "${key}")
        if(digest STREQUAL BLOWFISH_PUBLISHED_KEY_SHA256)
            message(WARNING "BLOWFISH_KEY is the earlier builds' default key, which was published: files encrypted with it are not protected.")
        endif()
        if(DEFINED CACHE{BLOWFISH_KEY_FILE} AND NOT BLOWFISH_KEY_FILE STREQUAL default_key_file)
            message(WARNING "BLOWFISH_KEY_FILE (${BLOWFISH_KEY_FILE}) is not read while BLOWFISH_KEY is set: unset BLOWFISH_KEY (-UBLOWFISH_KEY) to use it.")
        endif()
        set(file_in_use "")
        set(origin "given in BLOWFISH_KEY")
        set(keep "the key")
    else()
        set(BLOWFISH_KEY_FILE "${default_key_file}" CACHE FILEPATH
            "The file that holds the key both programs are built with, as hex digits; made with a random key if it is the default and missing")
        set(file_in_use "${BLOWFISH_KEY_FILE}")
        set(origin "in the key file ${file_in_use}")
        set(keep "the key file")
        execute_process(COMMAND stat -c %F -- "${file_in_use}" OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE nothing_there)
        if(file_in_use STREQUAL default_key_file AND nothing_there)
            if(BLOWFISH_KEY_FILE_USED STREQUAL file_in_use)
                message(FATAL_ERROR "The key file ${file_in_use}, which this build folder was configured with, is gone. "
                                    "Restore it from your copy: the programs built so far carry its key. "
                                    "To start anew with a new key instead, remove this build folder.")
            endif()
            blowfish_make_key_file("${file_in_use}" made)
            if(made)
                set(origin "made now from 16 random bytes, in the key file ${file_in_use}")
            endif()
        endif()
        blowfish_read_key_file("${file_in_use}" key)
        execute_process(COMMAND stat -L -c %a -- "${file_in_use}" OUTPUT_VARIABLE mode OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT mode MATCHES "00$")
            message(WARNING "The key file ${file_in_use} may be read by others (mode ${mode}): make it private with chmod 600.")
        endif()
        set(BLOWFISH_KEY_FILE_USED "${file_in_use}" CACHE INTERNAL "The key file this build folder was configured with")
        set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file_in_use}")
    endif()

    blowfish_key_bytes("${key}" bytes length)
    message(STATUS "Blowfish key: ${length} bytes, ${origin}")
    message(STATUS "Files encrypted by these programs can be decrypted only by programs built with the same key: keep a copy of ${keep}.")
    set(BLOWFISH_KEY "${key}" PARENT_SCOPE)
    set(BLOWFISH_KEY_BYTES "${bytes}" PARENT_SCOPE)
    set(BLOWFISH_KEY_LENGTH "${length}" PARENT_SCOPE)
    set(BLOWFISH_KEY_FILE_IN_USE "${file_in_use}" PARENT_SCOPE)
endfunction()

# Script mode only checks: cmake -DBLOWFISH_KEY=<hex> -P blowfish_key.cmake, or
# cmake -DBLOWFISH_KEY_FILE=<path> -P blowfish_key.cmake.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    if(DEFINED BLOWFISH_KEY_FILE)
        blowfish_read_key_file("${BLOWFISH_KEY_FILE}" key)
    else()
        set(key "${BLOWFISH_KEY}")
    endif()
    blowfish_key_bytes("${key}" bytes length)
    message(STATUS "BLOWFISH_KEY: ${length} bytes")
endif()
