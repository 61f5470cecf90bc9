# What Debian's packaging rules ask of the .deb that cpack -G DEB builds
# (and lintian checks): a maintainer, a copyright file, a changelog and the
# man page compressed with gzip -9n (no name, no time stamp), and the file
# under /etc marked as a conffile. cmake --install installs the same files.
set(VELKOR_MAINTAINER "velkor64 developers <developers@velkor64.org>" CACHE STRING
    "The package's Maintainer field")

set(_deb "${PROJECT_BINARY_DIR}/deb")
configure_file("${PROJECT_SOURCE_DIR}/packaging/deb/changelog.in" "${_deb}/changelog" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/packaging/deb/conffiles.in" "${_deb}/conffiles" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/tools/fbcrypt-check.1" "${_deb}/fbcrypt-check.1" COPYONLY)
add_custom_command(OUTPUT "${_deb}/changelog.gz" "${_deb}/fbcrypt-check.1.gz"
                   COMMAND gzip -9nkf "${_deb}/changelog" "${_deb}/fbcrypt-check.1"
                   DEPENDS "${_deb}/changelog" "${_deb}/fbcrypt-check.1" VERBATIM)
add_custom_target(deb_docs ALL DEPENDS "${_deb}/changelog.gz" "${_deb}/fbcrypt-check.1.gz")

install(FILES "${PROJECT_SOURCE_DIR}/packaging/deb/copyright" "${_deb}/changelog.gz"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT checker)
install(FILES "${_deb}/fbcrypt-check.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT checker)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELKOR_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_deb}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
