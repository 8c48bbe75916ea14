# Packaging. On Linux, `cpack` (make package) builds the Debian package
# varnolt_<version>_<arch>.deb from the install rules; on Windows, the build
# leaves varnolt-<version>-win32.zip (or -win64.zip from the 64-bit build)
# with both programs and a short readme.

if(WIN32)
  if(NOT VARNOLT_GUI)
    return()
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(zip_name varnolt-${PROJECT_VERSION}-win64)
  else()
    set(zip_name varnolt-${PROJECT_VERSION}-win32)
  endif()
  set(zip_root ${PROJECT_BINARY_DIR}/zip)
  set(zip ${PROJECT_BINARY_DIR}/${zip_name}.zip)
  # The readme in Windows line breaks; UTF-8 with a byte order mark, which
  # Notepad recognises.
  configure_file(${PROJECT_SOURCE_DIR}/docs/windows-readme.txt ${zip_root}/readme.txt
                 @ONLY NEWLINE_STYLE CRLF)
  add_custom_command(OUTPUT ${zip}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${zip_root}/${zip_name}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${zip_root}/${zip_name}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:varnolt> $<TARGET_FILE:varnolt-scan>
            ${zip_root}/readme.txt ${zip_root}/${zip_name}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${zip}
    COMMAND ${CMAKE_COMMAND} -E chdir ${zip_root}
            ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip ${zip_name}
    DEPENDS varnolt varnolt-scan ${zip_root}/readme.txt VERBATIM)
  add_custom_target(windows_zip ALL DEPENDS ${zip})
  return()
endif()

set(VARNOLT_MAINTAINER "Varnolt developers <varnolt@example.org>"
    CACHE STRING "The Debian package's maintainer")
# Debian asks every package for its copyright and licence terms, in the
# machine-readable format, uncompressed beside its other documents.
configure_file(${PROJECT_SOURCE_DIR}/cmake/copyright.in ${PROJECT_BINARY_DIR}/copyright @ONLY)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/varnolt)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnolt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # varnolt_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VARNOLT_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from the binaries; libcurl, Qt's platform plugin and the
# certificates for https are loaded at run time, so no binary names them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4 (>= 7.85.0), qt6-qpa-plugins")
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
