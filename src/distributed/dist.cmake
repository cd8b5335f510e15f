# liblinalg_dist: the companion library over ScaLAPACK and MPI.
#
# LINALG_DIST = AUTO builds it when MPI and ScaLAPACK (pkg-config module
# scalapack-openmpi; Debian's CMake file for ScaLAPACK names a file that is
# not installed) are found, ON requires them, OFF leaves it out. liblinalg
# itself never links MPI, ScaLAPACK or a BLAS.
set(LINALG_DIST "AUTO" CACHE STRING "Companion library over ScaLAPACK/MPI: AUTO, ON or OFF")
set_property(CACHE LINALG_DIST PROPERTY STRINGS AUTO ON OFF)

set(LINALG_DIST_BUILT OFF)
# AUTO looks only on native Linux builds: in a cross build (MinGW, say) the
# host's MPI and ScaLAPACK would be found and do not fit the target.
if(LINALG_DIST STREQUAL "AUTO" AND (CMAKE_CROSSCOMPILING OR WIN32))
  set(_linalg_dist_look OFF)
else()
  set(_linalg_dist_look ON)
endif()
if(_linalg_dist_look AND NOT LINALG_DIST STREQUAL "OFF")
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(LINALG_SCALAPACK QUIET IMPORTED_TARGET scalapack-openmpi)
  endif()
  find_package(MPI QUIET COMPONENTS C)
  if(LINALG_SCALAPACK_FOUND AND MPI_C_FOUND AND LINALG_LIBRARY_TYPE STREQUAL "SHARED")
    set(LINALG_DIST_BUILT ON)
  elseif(LINALG_DIST STREQUAL "ON")
    message(FATAL_ERROR "LINALG_DIST=ON needs MPI, the pkg-config module scalapack-openmpi "
                        "(Debian: libopenmpi-dev libscalapack-openmpi-dev) and a shared build")
  endif()
endif()
message(STATUS "linalg_dist (ScaLAPACK over MPI): ${LINALG_DIST_BUILT}")

if(LINALG_DIST_BUILT)
  add_library(linalg_dist SHARED
    ${PROJECT_SOURCE_DIR}/src/distributed/dist_grid.cpp
    ${PROJECT_SOURCE_DIR}/src/distributed/dist_ops.cpp)
  target_include_directories(linalg_dist
    PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>
    PRIVATE ${PROJECT_SOURCE_DIR}/src)
  # In the installed package MPI comes from the package file
  # (linalg_distConfig.cmake), which picks MPI::MPI_C or MPI::MPI_CXX by the
  # program's languages.
  target_link_libraries(linalg_dist PUBLIC linalg $<BUILD_INTERFACE:MPI::MPI_C>
                        PRIVATE PkgConfig::LINALG_SCALAPACK)
  set_target_properties(linalg_dist PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION 1
    # Installed, it finds liblinalg.so.1 beside itself: a program in a prefix
    # of its own that calls only DLA:: (no direct liblinalg dependency left
    # after --as-needed) then loads without LD_LIBRARY_PATH.
    INSTALL_RPATH "$ORIGIN"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(linalg_dist PRIVATE -Wl,--no-undefined -Wl,--as-needed)
  if(LINALG_HARDEN AND NOT LINALG_SANITIZE)
    target_compile_options(linalg_dist PRIVATE -fstack-protector-strong)
    target_link_options(linalg_dist PRIVATE -Wl,-z,relro,-z,now)
  endif()
  add_library(linalg::linalg_dist ALIAS linalg_dist)

  # mpirun for the tests and the example: loopback only, as root where CI
  # runs, one BLAS thread per rank, waiting ranks yield the processor (the
  # 4-rank tests run oversubscribed).
  set(LINALG_MPI_ENV
    OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
    OMPI_MCA_btl=self,vader OMPI_MCA_btl_tcp_if_include=lo OMPI_MCA_oob_tcp_if_include=lo
    OMPI_MCA_rmaps_base_oversubscribe=1 OMPI_MCA_mpi_yield_when_idle=1
    OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1)
  if(LINALG_SANITIZE)
    list(APPEND LINALG_MPI_ENV ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1)
  else()
    list(APPEND LINALG_MPI_ENV ASAN_OPTIONS=allocator_may_return_null=1)
  endif()

  if(LINALG_BUILD_TESTS)
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/dist ${PROJECT_BINARY_DIR}/tests/dist)
  endif()
  if(LINALG_BUILD_EXAMPLES)
    add_executable(example_dist_solve ${PROJECT_SOURCE_DIR}/examples/dist_solve.cpp)
    target_link_libraries(example_dist_solve PRIVATE linalg_dist)
    add_test(NAME example_dist_solve
      COMMAND ${MPIEXEC_EXECUTABLE} -n 2 --oversubscribe $<TARGET_FILE:example_dist_solve>)
    set_tests_properties(example_dist_solve PROPERTIES
      ENVIRONMENT "${LINALG_MPI_ENV}" LABELS dist TIMEOUT 120)
  endif()
  if(LINALG_BUILD_BENCH)
    add_executable(bench_dist ${PROJECT_SOURCE_DIR}/bench/dist/bench_dist.cpp)
    target_link_libraries(bench_dist PRIVATE linalg_dist linalg PkgConfig::LINALG_SCALAPACK)
    target_include_directories(bench_dist PRIVATE ${PROJECT_SOURCE_DIR}/src)
  endif()
  include(${PROJECT_SOURCE_DIR}/src/distributed/dist_install.cmake)
endif()
