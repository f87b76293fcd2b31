# The key's fingerprint tells builds apart without telling their key: the first 8 hex digits of the
# SHA-256 digest of the ASCII text "blowfish-files key fingerprint v1:" followed by the key as
# lowercase hex digits (CMake hashes text, not bytes, so the key goes in as its hex). Two builds
# with the same fingerprint carry the same key (but for a 1 in 4 billion chance).
#
# blowfish_key_fingerprint(KEY OUT) sets OUT to the fingerprint of KEY, given as hex digits.
function(blowfish_key_fingerprint key out)
    string(TOLOWER "${key}" hex)
    string(SHA256 digest "blowfish-files key fingerprint v1:${hex}")
    string(SUBSTRING "${digest}" 0 8 fingerprint)
    set(${out} "${fingerprint}" PARENT_SCOPE)
endfunction()

blowfish_key_fingerprint("${BLOWFISH_KEY}" BLOWFISH_KEY_FINGERPRINT)
message(STATUS "Key fingerprint: ${BLOWFISH_KEY_FINGERPRINT} (files made by a build with fingerprint "
               "${BLOWFISH_KEY_FINGERPRINT} need a build with fingerprint ${BLOWFISH_KEY_FINGERPRINT} to be decrypted)")
