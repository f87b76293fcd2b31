# The Debian package of the Linux programs: encrypt, decrypt and their desktop entries under /usr,
# with the shared libraries they need (GTK 3 among them) declared by dpkg-shlibdeps. Made with
# `cpack --preset package`; it carries the key the programs were built with.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME blowfish-files)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "encrypt and decrypt whole files with Blowfish under this build's key")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Two desktop programs: each shows the open dialog, encrypts or decrypts every whole 8-byte block "
    "of the chosen file (Blowfish, ECB mode) and saves the result under a new name.\n"
    "The key is built into the programs: this package carries its builder's key, "
    "so keep it as private as the key.")
if(NOT CPACK_PACKAGE_CONTACT)
    set(CPACK_PACKAGE_CONTACT "Local build <root@localhost>")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
