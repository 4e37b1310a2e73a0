# The device's file system: the programs in /opt/Velmora/bin, an example
# settings file beside where the real one lives, and the service files for
# systemd and for BusyBox or SysV init. Stage with DESTDIR=... cmake --install.
# The paths are the device's own and fixed, whatever the install prefix.
install(TARGETS velmorad velmora-settings velmora-com RUNTIME DESTINATION /opt/Velmora/bin)
install(FILES dist/settings.example dist/memCard.conf DESTINATION /opt/Velmora/etc)
install(PROGRAMS dist/memCard dist/dataPut DESTINATION /opt/Velmora/etc)
install(FILES dist/velmorad.service DESTINATION /lib/systemd/system)
install(PROGRAMS dist/velmorad.init DESTINATION /etc/init.d RENAME velmorad)

set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Daily memory card upload daemon")
set(CPACK_PACKAGE_CONTACT "maintainers@velmora.invalid")
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_SOURCE_DIR}/dist/conffiles")
include(CPack)
