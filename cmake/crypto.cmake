# The AES library of the Linux host, found in this one place for every Linux
# build (native, sanitizers, cross builds): Mbed TLS's crypto library, linked
# in as libmbedcrypto.a.
#
# Linked in, it costs the host nothing at start-up (no library to load and
# relocate); its Apache-2.0 licence allows that for any licence of the host,
# given the notice shipped in THIRD-PARTY-NOTICES. Only the static archive is
# accepted, so a build never silently depends on libmbedcrypto.so.
#
# find_library looks in lib/<CMAKE_LIBRARY_ARCHITECTURE> under each prefix, so
# a cross toolchain for another Debian architecture (which sets or detects
# that, e.g. aarch64-linux-gnu) finds the archive of libmbedtls-dev:<arch>.
# QUORVIA_MBEDCRYPTO_LIBRARY and QUORVIA_MBEDTLS_INCLUDE_DIR may be given to
# use another copy.
find_path(QUORVIA_MBEDTLS_INCLUDE_DIR mbedtls/aes.h
  DOC "folder holding mbedtls/aes.h (Debian: libmbedtls-dev)")
find_library(QUORVIA_MBEDCRYPTO_LIBRARY NAMES libmbedcrypto.a
  DOC "Mbed TLS's static crypto library (Debian: libmbedtls-dev)")
if(NOT QUORVIA_MBEDTLS_INCLUDE_DIR OR NOT QUORVIA_MBEDCRYPTO_LIBRARY)
  message(FATAL_ERROR "Mbed TLS's crypto library not found (mbedtls/aes.h: ${QUORVIA_MBEDTLS_INCLUDE_DIR}, "
                      "libmbedcrypto.a: ${QUORVIA_MBEDCRYPTO_LIBRARY}); install libmbedtls-dev for the "
                      "target architecture (scripts/install-deps does for this machine)")
endif()
add_library(quorvia_crypto_library STATIC IMPORTED)
set_target_properties(quorvia_crypto_library PROPERTIES
  IMPORTED_LOCATION ${QUORVIA_MBEDCRYPTO_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${QUORVIA_MBEDTLS_INCLUDE_DIR})
