# What the program installs beside itself: AppStream metadata and the manual
# page. The Debian package is made from debian/ (scripts/package.sh), which
# adds the copyright and changelog and compresses the manual page.
include(GNUInstallDirs)

set(HARLUNE_APP_ID "org.harlune.uploader")
set(HARLUNE_SCREENSHOT_URL "https://harlune-uploader.example/docs/window.png"
    CACHE STRING "Where software catalogues fetch the window's screenshot (docs/window.png)")

set(_pkg_src ${PROJECT_SOURCE_DIR}/packaging)
set(_pkg_out ${PROJECT_BINARY_DIR}/packaging)

configure_file(${_pkg_src}/metainfo.xml.in ${_pkg_out}/${HARLUNE_APP_ID}.metainfo.xml @ONLY)
configure_file(${_pkg_src}/harlune-uploader.1.in ${_pkg_out}/harlune-uploader.1 @ONLY)

install(FILES ${_pkg_out}/${HARLUNE_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${_pkg_out}/harlune-uploader.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
