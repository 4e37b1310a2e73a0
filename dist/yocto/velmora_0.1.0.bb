SUMMARY = "Velmora daily memory card upload daemon"
DESCRIPTION = "velmorad attaches the module's memory card once a day, at a local \
time taken from its settings, runs the upload script, reports the outcome to \
the system log and releases the card again; with velmora-settings, \
velmora-upload, velmora-com, the card and upload scripts and the service files."
SECTION = "admin"
LICENSE = "CLOSED"

# Built from a checkout of this repository (see README.md); a layer that
# fetches from a git server sets SRC_URI and S instead.
inherit externalsrc
EXTERNALSRC ?= "${@os.path.abspath(os.path.join(d.getVar('THISDIR'), '..', '..'))}"

inherit cmake pkgconfig systemd update-rc.d

# The uploader links libcurl; the card script runs mount.
DEPENDS = "curl"
RDEPENDS:${PN} = "util-linux-mount"

EXTRA_OECMAKE = "\
    -DBUILD_TESTING=OFF \
    -DVELMORA_SIM=OFF \
    -DVELMORA_STATIC_LIBSTDCXX=OFF \
    -DVELMORA_INSTALL_SYSTEMD=${@bb.utils.contains('DISTRO_FEATURES', 'systemd', 'ON', 'OFF', d)} \
    -DVELMORA_INSTALL_INIT=${@bb.utils.contains('DISTRO_FEATURES', 'sysvinit', 'ON', 'OFF', d)} \
    -DVELMORA_SYSTEMD_UNIT_DIR=${systemd_system_unitdir} \
    -DVELMORA_TMPFILES_DIR=${nonarch_libdir}/tmpfiles.d \
"

SYSTEMD_SERVICE:${PN} = "velmorad.service velmorad.path"
INITSCRIPT_NAME = "velmorad"
INITSCRIPT_PARAMS = "defaults 90 10"

# The device paths are fixed: /opt/Velmora holds the programs and scripts.
FILES:${PN} += "\
    /opt/Velmora \
    ${systemd_system_unitdir}/velmorad.service \
    ${systemd_system_unitdir}/velmorad.path \
    ${systemd_system_unitdir}/velmorad-settings.service \
    ${nonarch_libdir}/tmpfiles.d/velmora.conf \
"
CONFFILES:${PN} = "${sysconfdir}/velmora/memCard.conf ${sysconfdir}/velmora/upload.conf"
