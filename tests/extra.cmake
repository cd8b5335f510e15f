# Tests that need more than one gtest program.

# Install into a temporary prefix and build a program against the installed
# package with find_package, with pkg-config and with plain -llinalg; the
# programs run without LD_LIBRARY_PATH.
add_test(NAME install_consumer
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/install_consumer.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
set(_consumer_env "CXX=${CMAKE_CXX_COMPILER}")
if(LINALG_SANITIZE)
  list(APPEND _consumer_env "CONSUMER_FLAGS=-fsanitize=address,undefined")
endif()
# With liblinalg_dist built, its installed package is checked too.
if(LINALG_DIST_BUILT)
  list(APPEND _consumer_env "DIST_MPIEXEC=${MPIEXEC_EXECUTABLE}")
endif()
set_tests_properties(install_consumer PROPERTIES
  TIMEOUT 300
  ENVIRONMENT "${_consumer_env}")

# A parent project that includes linalg with add_subdirectory(): no tests,
# its own build type, BUILD_SHARED_LIBS=OFF honoured.
add_test(NAME subproject
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/subproject.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(subproject PROPERTIES TIMEOUT 600)

# The shared library is built hardened (stack protector, fortified libc
# calls, full RELRO).
if(LINALG_HARDEN_COMPILE AND LINALG_LIBRARY_TYPE STREQUAL "SHARED")
  set(_fortify "")
  if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    set(_fortify fortify)
  endif()
  add_test(NAME hardened_library
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_hardening.sh $<TARGET_FILE:linalg> ${_fortify})
endif()

# CMakeLists.txt, CHANGELOG.md and debian/changelog agree on the release.
find_program(DPKG_PARSECHANGELOG dpkg-parsechangelog)
if(DPKG_PARSECHANGELOG)
  add_test(NAME release_facts COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/release_facts.sh ${PROJECT_SOURCE_DIR})
endif()

# The README's first program builds and runs with its build-tree line (not
# in sanitizer builds, whose library needs the sanitizer runtime loaded
# first).
if(NOT LINALG_SANITIZE)
  add_test(NAME readme_program
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/readme_program.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  set_tests_properties(readme_program PROPERTIES ENVIRONMENT "CXX=${CMAKE_CXX_COMPILER}")
endif()
