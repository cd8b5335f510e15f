# Tests that need more than one gtest program.

# Install into a temporary prefix and build a program against the installed
# package, with find_package and with pkg-config.
add_test(NAME install_consumer
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/install_consumer.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
set(_consumer_env "CXX=${CMAKE_CXX_COMPILER}")
if(LINALG_SANITIZE)
  list(APPEND _consumer_env "CONSUMER_FLAGS=-fsanitize=address,undefined")
endif()
set_tests_properties(install_consumer PROPERTIES
  TIMEOUT 300
  ENVIRONMENT "${_consumer_env}")
