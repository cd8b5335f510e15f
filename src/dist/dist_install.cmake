# Installation of liblinalg_dist, in two components as Debian splits them:
#   dist-runtime      liblinalg_dist.so.1.0.0 and liblinalg_dist.so.1   (liblinalg-dist1)
#   dist-development  linalg_dist.h, liblinalg_dist.so, linalg_dist.pc  (liblinalg-dist-dev)
# They are left out of a full `cmake --install build`, which installs
# liblinalg alone as before; name the components to install them:
#   cmake --install build --component dist-runtime --prefix /usr
#   cmake --install build --component dist-development --prefix /usr
include(GNUInstallDirs)

install(TARGETS linalg_dist
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT dist-runtime NAMELINK_COMPONENT dist-development
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/include/linalg_dist.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dist-development EXCLUDE_FROM_ALL)

# pkg-config: the prefix is the one the files are installed to.
install(CODE "
  set(_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  file(READ \"${PROJECT_SOURCE_DIR}/src/dist/linalg_dist.pc.in\" _pc)
  string(REPLACE \"@PREFIX@\" \"\${_prefix}\" _pc \"\${_pc}\")
  string(REPLACE \"@LIBDIR@\" \"${CMAKE_INSTALL_LIBDIR}\" _pc \"\${_pc}\")
  string(REPLACE \"@INCLUDEDIR@\" \"${CMAKE_INSTALL_INCLUDEDIR}\" _pc \"\${_pc}\")
  string(REPLACE \"@VERSION@\" \"1.0.0\" _pc \"\${_pc}\")
  file(WRITE \"${PROJECT_BINARY_DIR}/package/linalg_dist.pc\" \"\${_pc}\")
  file(INSTALL \"${PROJECT_BINARY_DIR}/package/linalg_dist.pc\"
       DESTINATION \"\${_prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
" COMPONENT dist-development EXCLUDE_FROM_ALL)
