# The Debian package: `cpack -G DEB` in the build directory packs what
# `cmake --install` puts in place, under /usr.
set(MODCFG_MAINTAINER "modcfg developers <modcfg@example.org>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME modcfg)
set(CPACK_PACKAGE_VENDOR "modcfg developers")
set(CPACK_PACKAGE_CONTACT ${MODCFG_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug symbols stay in the build tree.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${MODCFG_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps computes Depends from the libraries the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's texts are Chinese; without a CJK font they show as boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-wqy-microhei)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(cli_description "")
if(TARGET modcfg)
  set(cli_description "The command line modcfg reads, applies and verifies settings without a
display and provisions many modules at once.
")
endif()
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "configuration tool for QX-B27 serial-to-Wi-Fi modules
A desktop tool that configures a QX-B27 serial-to-Wi-Fi module over AT
commands: it connects to the module, reads all its settings into four pages
(management, communication, AP mode and STA mode), sends the changes, and
saves the commands it sent as a command file that it applies to further
modules, by a button or automatically on every connection.
.
Two windows share one source: modcfg_com reaches the module through a
serial port, modcfg_net listens on TCP port 9999 for the module to connect.
${cli_description}The package also holds qxb27-sim, an emulated module to learn the tool
without one.")

include(CPack)
