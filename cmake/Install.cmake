# Installs the library, its public headers and the files that let consumers find it:
# find_package(Tessary) gives Tessary::client; pkg-config gives tessary-client.
include(CMakePackageConfigHelpers)

# Exported under the name the build tree's alias has, so one spelling serves both.
set_target_properties(tessary-client PROPERTIES EXPORT_NAME client)
install(TARGETS tessary-client EXPORT TessaryTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The public headers: every header of tessary/ outside an internal/ or shared/ folder, so where
# a header sits decides whether applications get it. internal/ holds the library's hidden
# classes (code that included them could not link); shared/ holds what the bus server, the tool
# and the benchmarks share with the library, such as the frame format. scripts/check-install
# compiles every installed header on its own and fails when a header carrying TESSARY_EXPORT is
# missing.
# BSTJSON.h alone needs a third-party header (nlohmann/json_fwd.hpp): the package config and
# the .pc file declare that dependency.
file(GLOB_RECURSE TESSARY_PUBLIC_HEADERS RELATIVE ${PROJECT_SOURCE_DIR}/tessary CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/tessary/*.h)
list(FILTER TESSARY_PUBLIC_HEADERS EXCLUDE REGEX "(^|/)(internal|shared)/")
foreach(_header IN LISTS TESSARY_PUBLIC_HEADERS)
    get_filename_component(_subdir ${_header} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/tessary/${_header}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tessary/${_subdir})
endforeach()
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

# The .pc file finds the prefix from its own place, so an installation moved elsewhere, or made
# with cmake --install --prefix, still points at itself.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(TESSARY_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH _pc_to_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
    string(REGEX REPLACE "/$" "" _pc_to_prefix "${_pc_to_prefix}")
    set(TESSARY_PC_PREFIX "\${pcfiledir}/${_pc_to_prefix}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/tessary-client.pc.in
    ${PROJECT_BINARY_DIR}/tessary-client.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tessary-client.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

foreach(_program tessary-busd tessary)
    if(TARGET ${_program})
        install(TARGETS ${_program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()
