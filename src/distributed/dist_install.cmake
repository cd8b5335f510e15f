# Installation of liblinalg_dist, in two components as Debian splits them:
#   dist-runtime      liblinalg_dist.so.<version> and liblinalg_dist.so.1   (liblinalg-dist1)
#   dist-development  linalg_dist.h, liblinalg_dist.so, linalg_dist.pc and
#                     the CMake package (lib/cmake/linalg_dist)              (liblinalg-dist-dev)
# They are left out of a full `cmake --install build`, which installs
# liblinalg alone as before; name the components to install them:
#   cmake --install build --component dist-runtime --prefix /usr
#   cmake --install build --component dist-development --prefix /usr
# The CMake package names linalg::linalg, the target of liblinalg's own
# package (cmake/install.cmake), which it finds first.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(LINALG_DIST_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/linalg_dist"
    CACHE STRING "Where liblinalg_dist's CMake package files go, relative to the prefix")

install(TARGETS linalg_dist
  EXPORT linalg_distTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT dist-runtime NAMELINK_COMPONENT dist-development
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/include/linalg_dist.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dist-development EXCLUDE_FROM_ALL)

include(${PROJECT_SOURCE_DIR}/cmake/package_config.cmake)
linalg_install_package(linalg_dist ${PROJECT_SOURCE_DIR}/src/distributed/linalg_distConfig.cmake.in
                       ${LINALG_DIST_INSTALL_CMAKEDIR} dist-development EXCLUDE_FROM_ALL)

# pkg-config: the prefix is the one the files are installed to.
install(CODE "
  set(_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  file(READ \"${PROJECT_SOURCE_DIR}/src/distributed/linalg_dist.pc.in\" _pc)
  string(REPLACE \"@PREFIX@\" \"\${_prefix}\" _pc \"\${_pc}\")
  string(REPLACE \"@LIBDIR@\" \"${CMAKE_INSTALL_LIBDIR}\" _pc \"\${_pc}\")
  string(REPLACE \"@INCLUDEDIR@\" \"${CMAKE_INSTALL_INCLUDEDIR}\" _pc \"\${_pc}\")
  string(REPLACE \"@VERSION@\" \"${PROJECT_VERSION}\" _pc \"\${_pc}\")
  file(WRITE \"${PROJECT_BINARY_DIR}/package/linalg_dist.pc\" \"\${_pc}\")
  file(INSTALL \"${PROJECT_BINARY_DIR}/package/linalg_dist.pc\"
       DESTINATION \"\${_prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
" COMPONENT dist-development EXCLUDE_FROM_ALL)
