# Packaging. On Linux, `cpack` (make package) builds the Debian package
# varnolt_<version>_<arch>.deb from the install rules.

if(WIN32)
  return()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/varnolt)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnolt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # varnolt_<version>_<arch>.deb
set(VARNOLT_MAINTAINER "Varnolt developers <varnolt@example.org>"
    CACHE STRING "The Debian package's maintainer")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VARNOLT_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from the binaries; Qt's platform plugin and the
# certificates for https are loaded at run time, so no binary names them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The first line is the synopsis, the rest the long description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "list the ed2k:// links of a file or web page
Varnolt pulls ed2k:// file links out of a local file or a web page and lists
each distinct link once, in file order: in a small window (varnolt), where a
page can be typed in, picked, dropped or opened from the file manager, and on
the command line (varnolt-scan), which writes the links to standard output,
one per line, for scripts. Web pages are fetched with libcurl first. A status
log in German reports every stage.")

include(CPack)
