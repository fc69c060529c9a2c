# Installs the library, its public headers and the files that let consumers find it:
# find_package(Tessary) gives Tessary::client; pkg-config gives tessary-client.
include(CMakePackageConfigHelpers)

install(TARGETS tessary-client EXPORT TessaryTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Headers under internal/ are the library's own and are not installed.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tessary/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tessary
    FILES_MATCHING PATTERN "*.h"
    PATTERN "internal" EXCLUDE)
install(FILES ${PROJECT_BINARY_DIR}/include/tessary/Export.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tessary)

set(TESSARY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tessary)
install(EXPORT TessaryTargets NAMESPACE Tessary:: DESTINATION ${TESSARY_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TessaryConfig.cmake.in
    ${PROJECT_BINARY_DIR}/TessaryConfig.cmake INSTALL_DESTINATION ${TESSARY_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TessaryConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TessaryConfig.cmake
    ${PROJECT_BINARY_DIR}/TessaryConfigVersion.cmake DESTINATION ${TESSARY_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/tessary-client.pc.in
    ${PROJECT_BINARY_DIR}/tessary-client.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tessary-client.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

foreach(_program tessary-busd tessary)
    if(TARGET ${_program})
        install(TARGETS ${_program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()
