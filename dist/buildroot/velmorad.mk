################################################################################
#
# velmorad
#
################################################################################

VELMORAD_VERSION = 0.1.0
VELMORAD_SITE = $(BR2_EXTERNAL_VELMORA_PATH)/../..
VELMORAD_SITE_METHOD = local
VELMORAD_LICENSE = Proprietary
VELMORAD_LICENSE_FILES = dist/copyright
VELMORAD_DEPENDENCIES = host-pkgconf libcurl

# The image has its own C++ runtime; tests and the simulated device stay on
# the build machine.
VELMORAD_CONF_OPTS = \
	-DBUILD_TESTING=OFF \
	-DVELMORA_SIM=OFF \
	-DVELMORA_STATIC_LIBSTDCXX=OFF

ifeq ($(BR2_INIT_SYSTEMD),y)
VELMORAD_DEPENDENCIES += systemd
VELMORAD_CONF_OPTS += -DVELMORA_INSTALL_SYSTEMD=ON
else
VELMORAD_CONF_OPTS += -DVELMORA_INSTALL_SYSTEMD=OFF
endif

# BusyBox and SysV init run /etc/init.d/S??*, so the script goes in under
# that name rather than the one the project installs.
VELMORAD_CONF_OPTS += -DVELMORA_INSTALL_INIT=OFF

define VELMORAD_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(@D)/dist/velmorad.init \
		$(TARGET_DIR)/etc/init.d/S90velmorad
endef

$(eval $(cmake-package))
