# The device's file system. The programs, the card and upload scripts and the
# example settings stay where the scripts and the peers on the device expect
# them (/opt/Velmora, /var/Velmora, /var/lock, /dev/ttyS1), whatever the
# prefix; documentation, manual pages and the service files follow
# GNUInstallDirs and the prefix. Stage with DESTDIR=... cmake --install.
include(GNUInstallDirs)

set(VELMORA_OPT_DIR /opt/Velmora)
set(VELMORA_DATA_DIR /var/Velmora)

install(TARGETS velmorad velmora-settings velmora-com RUNTIME DESTINATION ${VELMORA_OPT_DIR}/bin)
if(TARGET velmora-upload)
  install(TARGETS velmora-upload RUNTIME DESTINATION ${VELMORA_OPT_DIR}/bin)
endif()
install(FILES dist/settings.example DESTINATION ${VELMORA_OPT_DIR}/etc)
install(PROGRAMS dist/memCard dist/dataPut DESTINATION ${VELMORA_OPT_DIR}/etc)
# The card and upload settings are the integrator's to change, so they live
# under /etc (kept across upgrades); the scripts read them through links
# beside them.
# GNUInstallDirs turns the prefix /usr into /etc only when configuring; the
# same is done here for a prefix given to cmake --install.
set(velmora_init_script "")
if(VELMORA_INSTALL_INIT)
  set(velmora_init_script ${CMAKE_CURRENT_SOURCE_DIR}/dist/velmorad.init)
endif()
install(CODE "
  set(etc \"${CMAKE_INSTALL_SYSCONFDIR}\")
  if(IS_ABSOLUTE \"\${etc}\")
  elseif(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(etc /etc)
  else()
    set(etc \"\${CMAKE_INSTALL_PREFIX}/\${etc}\")
  endif()
  file(INSTALL DESTINATION \"\${etc}/velmora\" TYPE FILE
    FILES \"${CMAKE_CURRENT_SOURCE_DIR}/dist/memCard.conf\" \"${CMAKE_CURRENT_SOURCE_DIR}/dist/upload.conf\")
  if(NOT \"${velmora_init_script}\" STREQUAL \"\")
    file(INSTALL DESTINATION \"\${etc}/init.d\" TYPE PROGRAM RENAME velmorad
      FILES \"${velmora_init_script}\")
  endif()
  foreach(conf memCard.conf upload.conf)
    message(STATUS \"Installing: \$ENV{DESTDIR}${VELMORA_OPT_DIR}/etc/\${conf} -> \${etc}/velmora/\${conf}\")
    file(CREATE_LINK \"\${etc}/velmora/\${conf}\" \"\$ENV{DESTDIR}${VELMORA_OPT_DIR}/etc/\${conf}\" SYMBOLIC)
  endforeach()")

# Manual pages and the changelog go in compressed, as Debian policy wants;
# a page's @PROJECT_VERSION@ becomes the version the programs report.
file(GLOB velmora_man_pages CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/doc/*.8)
set(velmora_compressed)
foreach(source ${velmora_man_pages} ${CMAKE_CURRENT_SOURCE_DIR}/dist/changelog)
  get_filename_component(name ${source} NAME)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/doc/${name})
  configure_file(${source} ${page} @ONLY)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND gzip -9nkf ${page}
    DEPENDS ${page} VERBATIM)
  set(target ${page}.gz)
  list(APPEND velmora_compressed ${target})
  if(name MATCHES "\\.8$")
    install(FILES ${target} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  endif()
endforeach()
add_custom_target(velmora_docs ALL DEPENDS ${velmora_compressed})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz dist/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Where this system's systemd looks, when it can say; else the usual place
# under the prefix.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(velmora_unit_dir systemd systemdsystemunitdir)
  pkg_get_variable(velmora_tmpfiles_dir systemd tmpfilesdir)
endif()
if(NOT velmora_unit_dir)
  set(velmora_unit_dir lib/systemd/system)
endif()
if(NOT velmora_tmpfiles_dir)
  set(velmora_tmpfiles_dir lib/tmpfiles.d)
endif()
set(VELMORA_SYSTEMD_UNIT_DIR ${velmora_unit_dir} CACHE PATH "Where the systemd units go")
set(VELMORA_TMPFILES_DIR ${velmora_tmpfiles_dir} CACHE PATH "Where the tmpfiles.d entry goes")
if(VELMORA_INSTALL_SYSTEMD)
  install(FILES dist/velmorad.service dist/velmorad.path dist/velmorad-settings.service DESTINATION ${VELMORA_SYSTEMD_UNIT_DIR})
  install(FILES dist/velmora.tmpfiles DESTINATION ${VELMORA_TMPFILES_DIR} RENAME velmora.conf)
endif()

include(${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/package.cmake)
