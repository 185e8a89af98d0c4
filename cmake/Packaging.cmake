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

# Debian wants the licence and the history of every package in its documentation folder, the
# changelog compressed reproducibly; the version is native (no Debian revision), so the file is
# changelog.gz rather than changelog.Debian.gz.
set(KESTRAP_PACKAGE_DOCDIR share/doc/${CPACK_PACKAGE_NAME})
set(changelog ${CMAKE_BINARY_DIR}/debian/changelog)
configure_file(${PROJECT_SOURCE_DIR}/data/debian/changelog.in ${changelog} @ONLY)
add_custom_command(OUTPUT ${changelog}.gz
  COMMAND ${GZIP} -9nf -k ${changelog}
  DEPENDS ${changelog}
  VERBATIM)
add_custom_target(kestrap_changelog ALL DEPENDS ${changelog}.gz)
install(FILES ${PROJECT_SOURCE_DIR}/data/debian/copyright ${changelog}.gz DESTINATION ${KESTRAP_PACKAGE_DOCDIR})

include(CPack)
