# cpack -G DEB in the build folder makes a Debian package of what cmake --install puts in place.
set(CPACK_PACKAGE_NAME kestrap)
set(CPACK_PACKAGE_VENDOR Kestrap)
set(CPACK_PACKAGE_CONTACT "Kestrap developers <dev@kestrap.io>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy one set of files into an app on many iPhones and iPads at once")
set(CPACK_PACKAGE_HOMEPAGE_URL https://kestrap.io/)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Kestrap copies one prepared set of local files and folders into a folder of
one app's container on many connected iPhone, iPad and iPod touch devices at
once, a configurable number at a time, with an event log of everything done.
.
This package holds the desktop application, kestrap, when it was built, and
kestrap-cli, the command-line front end for duplication stations and scripts,
with a systemd unit that runs a station.")
# The libraries come from what the binaries link; usbmuxd is no library but without it no
# real device is seen (it brings libimobiledevice with it).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS usbmuxd)

include(CPack)
