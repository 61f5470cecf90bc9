# What Debian's packaging rules ask of the two .deb files cpack -G DEB builds
# (and lintian checks), one per install component:
#   velkor64        the module (component module): libvelkor64.so and velkor.conf
#   fbcrypt-check   the checker (component checker): the tool, its man page,
#                   its CMake package and the plug-in template; nothing in
#                   Firebird's folders
# Each has a copyright file (the project's LICENSE, as Debian writes it), a
# changelog and the man page compressed with gzip -9n (no name, no time
# stamp); velkor64's file under /etc is a conffile.
set(VELKOR_MAINTAINER "velkor64 developers <developers@velkor64.org>" CACHE STRING
    "The packages' Maintainer field")

set(_deb "${PROJECT_BINARY_DIR}/deb")
if(IS_ABSOLUTE "${VELKOR_CONF_DIR}")
  set(VELKOR_CONF_FILE "${VELKOR_CONF_DIR}/velkor.conf")
else()
  set(VELKOR_CONF_FILE "${CMAKE_INSTALL_PREFIX}/${VELKOR_CONF_DIR}/velkor.conf")
endif()
configure_file("${PROJECT_SOURCE_DIR}/packaging/deb/changelog.in" "${_deb}/changelog" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/packaging/deb/conffiles.in" "${_deb}/conffiles" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/tools/fbcrypt-check.1" "${_deb}/fbcrypt-check.1" COPYONLY)
add_custom_command(OUTPUT "${_deb}/changelog.gz" "${_deb}/fbcrypt-check.1.gz"
                   COMMAND gzip -9nkf "${_deb}/changelog" "${_deb}/fbcrypt-check.1"
                   DEPENDS "${_deb}/changelog" "${_deb}/fbcrypt-check.1" VERBATIM)
add_custom_target(deb_docs ALL DEPENDS "${_deb}/changelog.gz" "${_deb}/fbcrypt-check.1.gz")

set(_components module checker)
set(_packages velkor64 fbcrypt-check)
foreach(component package IN ZIP_LISTS _components _packages)
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/deb/copyright" "${_deb}/changelog.gz"
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}" COMPONENT ${component})
endforeach()
install(FILES "${_deb}/fbcrypt-check.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT checker)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL module checker)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELKOR_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_MODULE_PACKAGE_NAME velkor64)
set(CPACK_DEBIAN_MODULE_PACKAGE_SECTION database)
set(CPACK_DEBIAN_MODULE_PACKAGE_CONTROL_EXTRA "${_deb}/conffiles")
set(CPACK_COMPONENT_MODULE_DESCRIPTION [=[Pass-through database crypt plug-in for Firebird (no confidentiality)
velkor64 registers the database crypt plug-in velkor with Firebird 3.0 and
later. Its encrypt and decrypt copy pages unchanged: it is for testing
encryption set-ups, backups, monitoring and upgrades without key management,
and for measuring what the engine's crypt path costs. It gives no
confidentiality.]=])
set(CPACK_DEBIAN_CHECKER_PACKAGE_NAME fbcrypt-check)
set(CPACK_DEBIAN_CHECKER_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_CHECKER_DESCRIPTION [=[Checker of Firebird database crypt plug-in modules
fbcrypt-check drives a Firebird database crypt plug-in module the way the
engine does, with a stand-in for the engine or in a real Firebird, and says
which of the engine's requirements it does not meet. The package also has a
CMake package for running it as a plug-in's test, and a template project to
start a plug-in from (fbcrypt-check --new-plugin).]=])
