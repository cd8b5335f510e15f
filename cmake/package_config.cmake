# The CMake package of one of the project's libraries: its exported targets
# (namespace linalg::), <name>Config.cmake from config_in and a version file
# (same major version), installed to destination in the given component.
# Extra arguments (EXCLUDE_FROM_ALL) go to each install().
include_guard(GLOBAL)
include(CMakePackageConfigHelpers)

function(linalg_install_package name config_in destination component)
  install(EXPORT ${name}Targets
    NAMESPACE linalg::
    FILE ${name}Targets.cmake
    DESTINATION ${destination}
    COMPONENT ${component}
    ${ARGN})
  configure_package_config_file(
    ${config_in}
    ${PROJECT_BINARY_DIR}/package/${name}Config.cmake
    INSTALL_DESTINATION ${destination})
  write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/package/${name}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
  install(FILES
    ${PROJECT_BINARY_DIR}/package/${name}Config.cmake
    ${PROJECT_BINARY_DIR}/package/${name}ConfigVersion.cmake
    DESTINATION ${destination}
    COMPONENT ${component}
    ${ARGN})
endfunction()
