# Reference documentation from the public headers with Doxygen, when it is
# installed: HTML and man pages (section 3) in <build>/docs. Built by the
# target `docs` (part of `all` when LINALG_BUILD_DOCS is ON); warnings fail
# the build when LINALG_DOCS_WERROR is ON (CI).
find_package(Doxygen QUIET)
option(LINALG_BUILD_DOCS "Build the reference documentation with Doxygen (when found)" ${LINALG_TOP_LEVEL})
option(LINALG_DOCS_WERROR "Treat Doxygen warnings as errors" OFF)
if(NOT DOXYGEN_FOUND)
  if(LINALG_BUILD_DOCS AND LINALG_TOP_LEVEL)
    message(STATUS "Doxygen not found: no reference documentation")
  endif()
  return()
endif()

set(LINALG_DOCS_OUT ${PROJECT_BINARY_DIR}/docs)
# Every public header in include/ (the generated version header included).
file(GLOB _la_public_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/*.h)
list(APPEND _la_public_headers ${PROJECT_BINARY_DIR}/include/linalg_version.h
  ${PROJECT_SOURCE_DIR}/docs/linalg.dox)
string(REPLACE ";" " " LINALG_DOCS_INPUT "${_la_public_headers}")
if(LINALG_DOCS_WERROR)
  set(LINALG_DOCS_WARN_AS_ERROR FAIL_ON_WARNINGS)
else()
  set(LINALG_DOCS_WARN_AS_ERROR NO)
endif()
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${LINALG_DOCS_OUT}/Doxyfile @ONLY)

if(LINALG_BUILD_DOCS)
  set(_la_docs_all ALL)
else()
  set(_la_docs_all "")
endif()
add_custom_command(
  OUTPUT ${LINALG_DOCS_OUT}/html/index.html ${LINALG_DOCS_OUT}/man/man3/linalg.3
  COMMAND ${CMAKE_COMMAND} -E remove_directory ${LINALG_DOCS_OUT}/html
  COMMAND ${CMAKE_COMMAND} -E remove_directory ${LINALG_DOCS_OUT}/man
  COMMAND Doxygen::doxygen ${LINALG_DOCS_OUT}/Doxyfile
  DEPENDS ${_la_public_headers} ${LINALG_DOCS_OUT}/Doxyfile
  WORKING_DIRECTORY ${LINALG_DOCS_OUT}
  COMMENT "Reference documentation (Doxygen)"
  VERBATIM)
add_custom_target(docs ${_la_docs_all}
  DEPENDS ${LINALG_DOCS_OUT}/html/index.html ${LINALG_DOCS_OUT}/man/man3/linalg.3)

# Installed with the development files' documentation component `doc`.
include(GNUInstallDirs)
install(DIRECTORY ${LINALG_DOCS_OUT}/html/
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/html COMPONENT doc EXCLUDE_FROM_ALL)
install(DIRECTORY ${LINALG_DOCS_OUT}/man/man3
  DESTINATION ${CMAKE_INSTALL_MANDIR} COMPONENT doc EXCLUDE_FROM_ALL)
