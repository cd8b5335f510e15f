# Installation and packaging of liblinalg.
#
#   cmake --install <build> [--prefix DIR]   library, header, CMake package, linalg.pc
#   cpack -G DEB  (in <build>)                a Debian package of the same files
#
# Only the shared library is installed and exported: linalg_obj and
# linalg_static exist for the tests. The shared library links OpenMP and the
# thread library privately (they are recorded as DT_NEEDED entries), so the
# exported target carries no link dependencies and the package configuration
# needs no find_dependency().

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(LINALG_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/linalg"
    CACHE STRING "Where the CMake package files go, relative to the prefix")

install(TARGETS linalg
  EXPORT linalgTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(FILES ${PROJECT_SOURCE_DIR}/include/linalg.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT linalgTargets
  NAMESPACE linalg::
  FILE linalgTargets.cmake
  DESTINATION ${LINALG_INSTALL_CMAKEDIR}
  COMPONENT development)

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/linalgConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/linalgConfig.cmake
  INSTALL_DESTINATION ${LINALG_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/package/linalgConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/package/linalgConfig.cmake
  ${PROJECT_BINARY_DIR}/package/linalgConfigVersion.cmake
  DESTINATION ${LINALG_INSTALL_CMAKEDIR}
  COMPONENT development)

# pkg-config: paths are relative to the .pc file, so the package stays valid
# when installed with `cmake --install --prefix` somewhere else than the
# configured prefix, or unpacked from the Debian package.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(LINALG_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(LINALG_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(LINALG_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH _linalg_pc_up "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" _linalg_pc_up "${_linalg_pc_up}")
  set(LINALG_PC_PREFIX "\${pcfiledir}/${_linalg_pc_up}")
  set(LINALG_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(LINALG_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/linalg.pc.in
  ${PROJECT_BINARY_DIR}/package/linalg.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/linalg.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# ---- Debian package (cpack -G DEB) -------------------------------------------
set(CPACK_PACKAGE_NAME "liblinalg")
set(CPACK_PACKAGE_VENDOR "linalg developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "linalg developers <linalg@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "libs")
# One package with the runtime and development files together.
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
find_program(LINALG_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(LINALG_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgomp1, libgcc-s1")
endif()
include(CPack)
