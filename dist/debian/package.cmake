# The Debian package (cpack -G DEB), built for the host and for the cross
# targets. It follows Debian's layout (/usr, settings under /etc) whatever
# prefix the build was configured with: that prefix is for cmake --install.
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "daily memory card upload daemon")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "velmorad attaches the module's memory card once a day, at a local time taken
from its settings, runs the upload script, reports the outcome to the system
log and releases the card again. The package also holds velmora-upload, which
sends the card's new files to an FTP server over one login (encrypted where the
server allows), velmora-settings, to read and change the settings, and
velmora-com, to talk to a serial device by hand.")
set(CPACK_PACKAGE_CONTACT "Velmora maintainers <maintainers@velmora.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velmora maintainers <maintainers@velmora.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
# The libraries (libcurl for the uploader among them) come from the binaries;
# the card script needs mount, which no binary links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "mount")
# invoke-rc.d --skip-systemd-native in the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")
# CPack stages with DESTDIR (the device's own paths are absolute), and then
# installs under the build's prefix unless told otherwise: the package's
# prefix is given to its install alone, so the other generators and
# cmake --install keep the build's. Every path that follows the prefix (the
# settings under /etc among them) is worked out at install time from it.
if(NOT CPACK_PACKAGING_INSTALL_PREFIX)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
set(velmora_cpack_config "if(CPACK_GENERATOR STREQUAL \"DEB\")
  set(CPACK_INSTALL_PREFIX \"${CPACK_PACKAGING_INSTALL_PREFIX}\")
endif()\n")
# A cross build finds the target's libraries in the toolchain's root rather
# than among installed packages of the target's architecture.
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS)
  foreach(root ${CMAKE_SYSROOT} ${CMAKE_FIND_ROOT_PATH})
    list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${root}/lib)
  endforeach()
  string(APPEND velmora_cpack_config
    "set(SHLIBDEPS_EXECUTABLE \"${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/cross-shlibdeps\" CACHE FILEPATH \"\" FORCE)\n")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/cpack-config.cmake "${velmora_cpack_config}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/cpack-config.cmake)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()

# Only what the package really holds under /etc is a conffile: install.cmake
# puts the settings in /etc for the prefix /usr, else in the prefix's etc.
set(velmora_conffiles "")
if(IS_ABSOLUTE "${CMAKE_INSTALL_SYSCONFDIR}")
  set(velmora_package_etc "${CMAKE_INSTALL_SYSCONFDIR}")
elseif(CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  set(velmora_package_etc /etc)
else()
  set(velmora_package_etc "${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}")
endif()
if(velmora_package_etc STREQUAL "/etc")
  string(APPEND velmora_conffiles "/etc/velmora/memCard.conf\n/etc/velmora/upload.conf\n")
  if(VELMORA_INSTALL_INIT)
    string(APPEND velmora_conffiles "/etc/init.d/velmorad\n")
  endif()
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles "${velmora_conffiles}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles
  ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/postinst
  ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/prerm
  ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# lintian's overrides, each with its reason, only in the Debian package.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME velmora
  COMPONENT debian EXCLUDE_FROM_ALL)
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};velmora;ALL;/"
  "${CMAKE_BINARY_DIR};velmora;debian;/")
include(CPack)
