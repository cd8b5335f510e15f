# Installation and packaging of liblinalg.
#
#   cmake --install <build> [--prefix DIR]   library, headers, CMake package, linalg.pc
#   cmake --install <build> --component doc  the Doxygen reference (cmake/docs.cmake)
#
# The Debian packages (debian/, built with dpkg-buildpackage) take the files
# of a plain install. Two install components:
#   runtime      the versioned shared library (liblinalg.so.1.0.0, liblinalg.so.1)
#   development  headers, liblinalg.so link (or liblinalg.a for a static build),
#                CMake package, pkg-config file
# The layer object libraries (linalg_base ... linalg_api), linalg_common and linalg_static exist for the tests and are not installed.
# The shared library links OpenMP and the thread library privately (they are
# DT_NEEDED entries), so its exported target carries no link dependencies; a
# static build's package configuration finds them again.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(LINALG_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/linalg"
    CACHE STRING "Where the CMake package files go, relative to the prefix")

# Which GPU back-end this build has, for the package files: "cuda" (the real
# runtime, set up in src/cuda/cuda.cmake) or "emulation" (GPU variants compute
# on the CPU).
if(_la_cuda_real)
  set(LINALG_GPU_BACKEND "cuda")
else()
  set(LINALG_GPU_BACKEND "emulation")
endif()

install(TARGETS linalg
  EXPORT linalgTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT development
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(FILES ${PROJECT_SOURCE_DIR}/include/linalg.h ${PROJECT_SOURCE_DIR}/include/linalg_diag.h
  ${PROJECT_BINARY_DIR}/include/linalg_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

include(${CMAKE_CURRENT_LIST_DIR}/package_config.cmake)
linalg_install_package(linalg ${CMAKE_CURRENT_LIST_DIR}/linalgConfig.cmake.in ${LINALG_INSTALL_CMAKEDIR} development)

# pkg-config: written at install time for the prefix the files go to, with
# plain paths (prefix=/usr in the Debian packages, the --prefix directory of
# `cmake --install --prefix`). A static build lists its link dependencies in
# Libs.private.
if(LINALG_LIBRARY_TYPE STREQUAL "STATIC")
  set(LINALG_PC_LIBS_PRIVATE "-fopenmp -lpthread")
else()
  set(LINALG_PC_LIBS_PRIVATE "")
endif()
# The prefix and the paths stay placeholders until install time.
foreach(_v LINALG_PC_PREFIX LINALG_PC_LIBDIR_PATH LINALG_PC_INCLUDEDIR_PATH)
  set(${_v} "@${_v}@")
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/linalg.pc.in ${PROJECT_BINARY_DIR}/package/linalg.pc.in @ONLY)
install(CODE "
  set(LINALG_PC_TEMPLATE \"${PROJECT_BINARY_DIR}/package/linalg.pc.in\")
  set(LINALG_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(LINALG_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(LINALG_PC_RELOCATABLE \"${LINALG_PC_RELOCATABLE}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/write_pc.cmake\")
" COMPONENT development)
