# What the program installs beside itself (AppStream metadata, the manual
# page, the copyright and changelog files) and the Debian package CPack makes
# of it all. scripts/package.sh drives it.
include(GNUInstallDirs)

set(HARLUNE_APP_ID "org.harlune.uploader")
set(HARLUNE_SCREENSHOT_URL "https://harlune-uploader.example/docs/window.png"
    CACHE STRING "Where software catalogues fetch the window's screenshot (docs/window.png)")
set(HARLUNE_MAINTAINER
    "Harlune Uploader maintainers <maintainers@harlune-uploader.example>")

set(_pkg_src ${PROJECT_SOURCE_DIR}/packaging)
set(_pkg_out ${PROJECT_BINARY_DIR}/packaging)

configure_file(${_pkg_src}/metainfo.xml.in ${_pkg_out}/${HARLUNE_APP_ID}.metainfo.xml @ONLY)
configure_file(${_pkg_src}/harlune-uploader.1.in ${_pkg_out}/harlune-uploader.1 @ONLY)

# Debian wants manual pages and changelogs compressed, with no name or time
# stamp in the gzip header so that the package builds the same every time.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(_pkg_gzipped)
foreach(_pair "${_pkg_out}/harlune-uploader.1;harlune-uploader.1.gz"
              "${_pkg_src}/changelog;changelog.gz")
  list(GET _pair 0 _in)
  list(GET _pair 1 _name)
  add_custom_command(OUTPUT ${_pkg_out}/${_name}
    COMMAND sh -c "\"$0\" -9n -c \"$1\" > \"$2\"" ${GZIP_EXECUTABLE} ${_in} ${_pkg_out}/${_name}
    DEPENDS ${_in}
    COMMENT "Compressing ${_name}"
    VERBATIM)
  list(APPEND _pkg_gzipped ${_pkg_out}/${_name})
endforeach()
add_custom_target(harlune_packaging_files ALL DEPENDS ${_pkg_gzipped})

install(FILES ${_pkg_out}/${HARLUNE_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${_pkg_out}/harlune-uploader.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_pkg_src}/copyright ${_pkg_out}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keep a channel list published on a web host by FTP")
set(CPACK_PACKAGE_DESCRIPTION
    "Harlune Uploader is a small desktop program that publishes one text file, the
channel list channel_list.txt, to a web host by FTP, FTPS or SFTP. Upload sends
the file once and says whether it worked; Auto Upload sends it again, silently,
every so many seconds for as long as the program runs.
.
Each upload stores the file under a temporary name and renames it onto the
final one, so the channel list is never half-published.")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${HARLUNE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends is worked out by dpkg-shlibdeps from the libraries the program
# links; the one program it runs, ssh for SFTP, is named here, and
# dpkg-shlibdeps' list is added to it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "openssh-client")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
