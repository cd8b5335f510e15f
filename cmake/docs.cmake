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
# The guides in docs/ become pages of the reference.
file(GLOB _la_guides CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
list(APPEND _la_public_headers ${PROJECT_BINARY_DIR}/include/linalg_version.h
  ${PROJECT_SOURCE_DIR}/docs/linalg.dox ${_la_guides})
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
  COMMAND ${CMAKE_COMMAND} -DDIR=${LINALG_DOCS_OUT}/man/man3 -P ${PROJECT_SOURCE_DIR}/cmake/man_links.cmake
  DEPENDS ${_la_public_headers} ${LINALG_DOCS_OUT}/Doxyfile ${PROJECT_SOURCE_DIR}/cmake/man_links.cmake
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

# `man 3 <name>` finds a page for every exported member (Doxygen's link
# pages, cmake/man_links.cmake), and the page it sources exists.
if(LINALG_BUILD_TESTS AND LINALG_BUILD_DOCS)
  add_test(NAME man_page_per_exported_member
    COMMAND sh -c "cd \"$1/man\" && for n in $(sed -n 's/.*::\\([A-Za-z0-9_]*\\)(.*/\\1/p' \"$0\" | sort -u); do
                     f=man3/$n.3; [ -f $f ] || { echo \"no page for $n\"; exit 1; };
                     s=$(sed -n 's/^[.]so //p' $f); [ -z \"$s\" ] || [ -f \"$s\" ] || { echo \"$f sources a missing $s\"; exit 1; };
                   done"
            ${PROJECT_SOURCE_DIR}/tests/exports.txt ${PROJECT_BINARY_DIR}/docs)
endif()
