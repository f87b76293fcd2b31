# The Debian package of the Linux programs: encrypt and decrypt with their desktop entries, icons,
# manual pages and guide under /usr, the license as a Debian copyright file and a Debian changelog,
# with the shared libraries they need (GTK 3 among them) declared by dpkg-shlibdeps. Made with
# `cpack --preset package` after building. It carries the key the programs were built with; its
# version and description carry the key's fingerprint, e.g. 1.0.0+key1a2b3c4d-1.
include(GNUInstallDirs)

set(BLOWFISH_MAINTAINER "The blowfish-files authors <authors@blowfish-files.invalid>" CACHE STRING
    "The Debian package's maintainer, as: Full Name <address>")
if(NOT BLOWFISH_MAINTAINER MATCHES "^[^<>@]*[^<>@ ] <[^<>@ ]+@[^<>@ ]+[.][^<>@ .]+>$")
    message(FATAL_ERROR "BLOWFISH_MAINTAINER (${BLOWFISH_MAINTAINER}) is not of the form Full Name <address@domain.org>")
endif()

set(debian_version ${PROJECT_VERSION}+key${BLOWFISH_KEY_FINGERPRINT}-1)
set(debian_files ${PROJECT_BINARY_DIR}/debian)
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/blowfish-files)

# The copyright file, in Debian's machine-readable format, holds the license from LICENSE (the MIT
# license, which Debian calls Expat): its text indented by one space, empty lines as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX REPLACE "^MIT License\n\n(Copyright \\(c\\) )?([^\n]*)\n\n" "" license_text "${license}")
set(license_holder "${CMAKE_MATCH_2}")
string(REGEX REPLACE "\n+$" "" license_text "${license_text}")
string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " license_text "${license_text}")
file(WRITE ${debian_files}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: blowfish-files

Files: *
Copyright: ${license_holder}
License: Expat
 ${license_text}
")

# The changelog names this build's version, and so its key's fingerprint.
file(WRITE ${debian_files}/changelog.Debian
"blowfish-files (${debian_version}) unstable; urgency=medium

  * Version ${PROJECT_VERSION}, built with the key whose fingerprint is ${BLOWFISH_KEY_FINGERPRINT}.

 -- ${BLOWFISH_MAINTAINER}  Tue, 08 Dec 2026 12:00:00 +0000
")
find_program(GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${debian_files}/changelog.Debian.gz
                   COMMAND ${GZIP} -9nkf ${debian_files}/changelog.Debian
                   DEPENDS ${debian_files}/changelog.Debian VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${debian_files}/changelog.Debian.gz)
install(FILES ${debian_files}/copyright ${debian_files}/changelog.Debian.gz DESTINATION ${doc_dir})

# Lintian's tags that do not apply to this package, each with the reason.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME blowfish-files)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME blowfish-files)
set(CPACK_PACKAGE_CONTACT "${BLOWFISH_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION}+key${BLOWFISH_KEY_FINGERPRINT})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "encrypt and decrypt whole files with Blowfish under this build's key")
# One line of the extended description each, under 80 columns (and no double quotes: CPack
# mangles them).
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Two desktop programs, encrypt and decrypt. Each shows the Open dialog,\n"
    "encrypts or decrypts every whole 8-byte block of the chosen file (Blowfish,\n"
    "ECB mode) and saves the result under a new name.\n"
    "\n"
    "The key is built into the programs: whoever has this package can decrypt\n"
    "the files they encrypt. Keep it as private as those files.\n"
    "Key fingerprint: ${BLOWFISH_KEY_FINGERPRINT}. Files made by a build with fingerprint ${BLOWFISH_KEY_FINGERPRINT}\n"
    "need a build with fingerprint ${BLOWFISH_KEY_FINGERPRINT}.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The arm64 build's package, made on this machine, is for arm64 (CPack would name the machine's own).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
include(CPack)
