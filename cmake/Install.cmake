# cmake --install: the module into a Firebird plug-ins folder (a copy: the
# engine refuses a symlinked module), and a plugins.conf block naming it.
include(GNUInstallDirs)

if(WIN32)
  # A Firebird root's own layout, under the install prefix (the Firebird
  # folder itself, or a zip of one): plugins\velkor64.dll, velkor.conf and
  # the tools in the root. The block names the module through $(dir_plugins),
  # which a Windows Firebird sets to its own plugins folder.
  set(VELKOR_PLUGIN_DIR "plugins" CACHE PATH "Plug-ins folder, under the install prefix")
  set(VELKOR_CONF_DIR "." CACHE PATH "Folder of velkor.conf, under the install prefix")
  set(VELKOR_TOOLS_DIR ".")
  set(VELKOR_CONF_FILE "$(dir_conf)/velkor.conf")
  set(VELKOR_MODULE_DIR "$(dir_plugins)")
else()
  # The found engine's folders: the first Firebird installed here (the
  # catalogue's places, newest series first, and its rule for a root).
  catalogue_installed_roots(_fb_roots "${CMAKE_LIBRARY_ARCHITECTURE}")
  set(_fb_plugins "")
  foreach(_root IN LISTS _fb_roots)
    catalogue_is_root(_is_root "${_root}")
    if(_is_root)
      set(_fb_plugins "${_root}/plugins")
      break()
    endif()
  endforeach()
  if(NOT _fb_plugins)
    set(_fb_plugins "${CMAKE_INSTALL_FULL_LIBDIR}/firebird/plugins")
  endif()
  string(REGEX MATCH "firebird/([0-9.]+)/plugins$" _fb_match "${_fb_plugins}")
  if(CMAKE_MATCH_1 AND EXISTS "/etc/firebird/${CMAKE_MATCH_1}")
    set(_fb_conf "/etc/firebird/${CMAKE_MATCH_1}")
  else()
    set(_fb_conf "${CMAKE_INSTALL_FULL_SYSCONFDIR}/firebird")
  endif()

  set(VELKOR_PLUGIN_DIR "${_fb_plugins}" CACHE PATH "Firebird plug-ins folder the module is installed into")
  set(VELKOR_CONF_DIR "${_fb_conf}" CACHE PATH "Folder the plugins.conf block (velkor.conf) is installed into")
  set(VELKOR_CONF_FILE "${VELKOR_CONF_DIR}/velkor.conf")
  set(VELKOR_TOOLS_DIR "${CMAKE_INSTALL_BINDIR}")
  set(VELKOR_MODULE_DIR "${VELKOR_PLUGIN_DIR}")
endif()

configure_file("${PROJECT_SOURCE_DIR}/conf/velkor.conf.in" "${PROJECT_BINARY_DIR}/velkor.conf" @ONLY)
install(TARGETS velkor64 LIBRARY DESTINATION "${VELKOR_PLUGIN_DIR}" COMPONENT module)
install(FILES "${PROJECT_BINARY_DIR}/velkor.conf" DESTINATION "${VELKOR_CONF_DIR}" COMPONENT module)
install(CODE "message(STATUS \"velkor64: to enable it, add this line to the engine's plugins.conf:\\n      include ${VELKOR_CONF_FILE}\\n   then: ALTER DATABASE ENCRYPT WITH \\\"velkor\\\"\")")
