# cmake --install: two components, each writing only under the install
# prefix (and DESTDIR) unless told otherwise.
#   module   libvelkor64.so into VELKOR_PLUGIN_DIR, and velkor.conf, the
#            plugins.conf blocks naming it, into VELKOR_CONF_DIR
#   checker  fbcrypt-check, its man page, its CMake package and the plug-in
#            template (tools/CMakeLists.txt)
# VELKOR_PLUGIN_DIR and VELKOR_CONF_DIR are under the prefix by default;
# give a Firebird's own folders to install into that Firebird (configuring
# says which Firebird is installed here, and the two options that name it).
# GNUInstallDirs gives Debian's multiarch folder (lib/<triplet>) to native
# builds only; a package cross-built for Debian belongs there too.
if(CMAKE_CROSSCOMPILING AND NOT WIN32 AND CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CMAKE_INSTALL_LIBDIR
   AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$" AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (lib)")
endif()
include(GNUInstallDirs)

if(WIN32)
  # A Firebird root's own layout, under the install prefix (the Firebird
  # folder itself, or a zip of one): plugins\velkor64.dll, velkor.conf and
  # the tools in the root. The block names the module through $(dir_plugins),
  # which a Windows Firebird sets to its own plugins folder.
  set(VELKOR_PLUGIN_DIR "plugins" CACHE PATH "Plug-ins folder, under the install prefix")
  set(VELKOR_CONF_DIR "." CACHE PATH "Folder of velkor.conf, under the install prefix")
  set(VELKOR_TOOLS_DIR ".")
else()
  set(VELKOR_PLUGIN_DIR "${CMAKE_INSTALL_LIBDIR}/firebird/plugins" CACHE PATH
      "Folder the module is installed into: a Firebird's plug-ins folder, or (relative) one under the prefix")
  set(VELKOR_CONF_DIR "${CMAKE_INSTALL_SYSCONFDIR}/firebird" CACHE PATH
      "Folder velkor.conf (the plugins.conf blocks) is installed into: a Firebird's, or (relative) one under the prefix")
  set(VELKOR_TOOLS_DIR "${CMAKE_INSTALL_BINDIR}")
  # Say where the Firebird installed here is (the catalogue's places and its
  # rule for a root), and how to install into it.
  catalogue_installed_roots(_fb_roots "${CMAKE_LIBRARY_ARCHITECTURE}")
  foreach(_root IN LISTS _fb_roots)
    catalogue_is_root(_is_root "${_root}")
    if(_is_root)
      string(REGEX MATCH "firebird/([0-9.]+)$" _series "${_root}")
      if(CMAKE_MATCH_1 AND EXISTS "/etc/firebird/${CMAKE_MATCH_1}")
        set(_conf "/etc/firebird/${CMAKE_MATCH_1}")
      else()
        set(_conf "${_root}")
      endif()
      if(NOT VELKOR_PLUGIN_DIR STREQUAL "${_root}/plugins")
        message(STATUS "velkor64: a Firebird is installed in ${_root}; to install the module into it, configure with "
                       "-DVELKOR_PLUGIN_DIR=${_root}/plugins -DVELKOR_CONF_DIR=${_conf}")
      endif()
      break()
    endif()
  endforeach()
endif()

install(TARGETS velkor64 LIBRARY DESTINATION "${VELKOR_PLUGIN_DIR}" COMPONENT module
                         RUNTIME DESTINATION "${VELKOR_PLUGIN_DIR}" COMPONENT module)
# velkor.conf names the module where it was installed, so it is written at
# install time, when the prefix (cmake --install --prefix) is known.
string(CONFIGURE [[
  set(_windows "@WIN32@")
  set(_plugins "@VELKOR_PLUGIN_DIR@")
  set(_conf_dir "@VELKOR_CONF_DIR@")
  if(_windows)
    set(_module "$(dir_plugins)")
  elseif(IS_ABSOLUTE "${_plugins}")
    set(_module "${_plugins}")
  else()
    set(_module "${CMAKE_INSTALL_PREFIX}/${_plugins}")
  endif()
  if(NOT IS_ABSOLUTE "${_conf_dir}")
    set(_conf_dir "${CMAKE_INSTALL_PREFIX}/${_conf_dir}")
  endif()
  set(VELKOR_MODULE_DIR "${_module}")
  set(VELKOR_CONF_FILE "${_conf_dir}/velkor.conf")
  set(PROJECT_VERSION "@PROJECT_VERSION@")
  configure_file("@PROJECT_SOURCE_DIR@/conf/velkor.conf.in" "@PROJECT_BINARY_DIR@/velkor.conf" @ONLY)
  message(STATUS "velkor64: to enable it, add this line to the engine's plugins.conf:\n      include ${VELKOR_CONF_FILE}\n   then: ALTER DATABASE ENCRYPT WITH \"velkor\"")
]] _write_conf @ONLY)
install(CODE "${_write_conf}" COMPONENT module)
install(FILES "${PROJECT_BINARY_DIR}/velkor.conf" DESTINATION "${VELKOR_CONF_DIR}" COMPONENT module)
