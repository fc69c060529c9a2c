# The service's files and the Debian package (make package: cpack -G DEB in a /usr build).
#
# A /usr installation, the package's, puts the configuration under /etc; any other prefix keeps
# it inside itself, so that an installation into a scratch prefix writes nowhere else.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(_sysconf /etc)
else()
    set(_sysconf ${CMAKE_INSTALL_SYSCONFDIR})
endif()
set(TESSARY_SYSCONF_FULL_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/tessary)
set(TESSARY_CONFIG_FILE ${TESSARY_SYSCONF_FULL_DIR}/tessary-busd.conf)
set(TESSARY_ENVIRONMENT_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/tessary-busd)

configure_file(${PROJECT_SOURCE_DIR}/packaging/tessary-busd.service
    ${PROJECT_BINARY_DIR}/packaging/tessary-busd.service @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/tessary-busd.default
    ${PROJECT_BINARY_DIR}/packaging/tessary-busd @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/tessary-busd.service
    DESTINATION lib/systemd/system)
install(FILES ${PROJECT_BINARY_DIR}/packaging/tessary-busd DESTINATION ${_sysconf}/default)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tessary-busd.conf
    ${PROJECT_SOURCE_DIR}/packaging/BUSServer.Manager.INI DESTINATION ${_sysconf}/tessary)

# Files an administrator edits: an upgrade keeps their changes.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles
    "${TESSARY_ENVIRONMENT_FILE}\n${TESSARY_CONFIG_FILE}\n"
    "${TESSARY_SYSCONF_FULL_DIR}/BUSServer.Manager.INI\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessary)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Orvex)
set(CPACK_PACKAGE_CONTACT "Tessary developers <tessary@orvex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "TCP message bus: client library and headers, bus server daemon and command-line tool")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# Runtime dependencies are read from the binaries; building against the headers also takes
# the JSON library that BSTJSON.h names.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS nlohmann-json3-dev)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles)
include(CPack)
