# The Debian package (cpack -G DEB), built for the host and for the cross
# targets. Configure with -DCMAKE_INSTALL_PREFIX=/usr for a package that
# follows Debian's layout; scripts/test-package does.
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
# A cross build finds the target's libraries in the toolchain's root rather
# than among installed packages of the target's architecture.
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS)
  foreach(root ${CMAKE_SYSROOT} ${CMAKE_FIND_ROOT_PATH})
    list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${root}/lib)
  endforeach()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/cross.cmake
    "set(SHLIBDEPS_EXECUTABLE \"${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/cross-shlibdeps\" CACHE FILEPATH \"\" FORCE)\n")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/cross.cmake)
endif()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()

# Only what the install really holds under /etc is a conffile.
set(velmora_conffiles "")
if(CMAKE_INSTALL_FULL_SYSCONFDIR STREQUAL "/etc")
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
