# GPU back-end: the same sources build against the real CUDA runtime or
# against the host emulation in src/cuda/emu.
#
#   LINALG_CUDA=OFF   emulation (GPU calls compute on the CPU)
#   LINALG_CUDA=AUTO  real runtime when nvcc is found AND a GPU driver
#                     (libcuda.so.1) is installed, emulation otherwise
#   LINALG_CUDA=ON    real runtime; fails when nvcc is missing
#
# The test programs drive the emulation's hooks, so they are built only
# against the emulation (with the real runtime they skip).

set(_la_cuda_dir ${PROJECT_SOURCE_DIR}/src/cuda)
file(GLOB _la_cuda_sources CONFIGURE_DEPENDS ${_la_cuda_dir}/*.cpp)
file(GLOB _la_cuda_emu_sources CONFIGURE_DEPENDS ${_la_cuda_dir}/emu/*.cpp)
linalg_platform_sources(_la_cuda_emu_sources)
string(TOUPPER "${LINALG_CUDA}" _la_cuda_mode)

set(_la_cuda_real OFF)
if(_la_cuda_mode STREQUAL "ON" OR _la_cuda_mode STREQUAL "AUTO")
  if(NOT CMAKE_CUDA_COMPILER AND NOT DEFINED ENV{CUDACXX})
    find_program(LINALG_NVCC nvcc HINTS /usr/local/cuda/bin)
    if(LINALG_NVCC)
      set(CMAKE_CUDA_COMPILER ${LINALG_NVCC})
    endif()
  endif()
  include(CheckLanguage)
  check_language(CUDA)
  if(_la_cuda_mode STREQUAL "ON")
    if(NOT CMAKE_CUDA_COMPILER)
      message(FATAL_ERROR "LINALG_CUDA=ON but no CUDA compiler (nvcc) was found")
    endif()
    set(_la_cuda_real ON)
  elseif(CMAKE_CUDA_COMPILER)
    # The driver library of an installed GPU (the toolkit's stubs are named
    # libcuda.so only, so they do not count).
    find_library(LINALG_LIBCUDA NAMES libcuda.so.1)
    if(LINALG_LIBCUDA)
      set(_la_cuda_real ON)
    endif()
  endif()
elseif(NOT _la_cuda_mode STREQUAL "OFF")
  message(FATAL_ERROR "LINALG_CUDA must be AUTO, ON or OFF (got '${LINALG_CUDA}')")
endif()

if(_la_cuda_real)
  # Lowest architecture the installed nvcc supports, as machine code plus PTX.
  if(NOT CMAKE_CUDA_ARCHITECTURES)
    execute_process(COMMAND ${CMAKE_CUDA_COMPILER} --list-gpu-arch
      OUTPUT_VARIABLE _la_arch_list ERROR_QUIET RESULT_VARIABLE _la_arch_rc)
    set(_la_arch 75)
    if(_la_arch_rc EQUAL 0 AND _la_arch_list MATCHES "compute_([0-9]+)")
      set(_la_arch ${CMAKE_MATCH_1})
    endif()
    set(CMAKE_CUDA_ARCHITECTURES "${_la_arch}-real;${_la_arch}-virtual")
  endif()
  enable_language(CUDA)
  find_package(CUDAToolkit REQUIRED)
  message(STATUS "linalg GPU back-end: CUDA runtime ${CUDAToolkit_VERSION}, architectures ${CMAKE_CUDA_ARCHITECTURES}")

  set_source_files_properties(${_la_cuda_sources} PROPERTIES LANGUAGE CUDA)
  target_sources(linalg_cuda PRIVATE ${_la_cuda_sources})

  # The global options are host-compiler flags; nvcc gets them for its host
  # pass only. Device code: no implicit contraction into fused multiply-adds
  # (the kernels call fma where they mean it).
  get_target_property(_la_opts linalg_cuda COMPILE_OPTIONS)
  if(_la_opts)
    set(_la_new_opts "")
    foreach(_o IN LISTS _la_opts)
      list(APPEND _la_new_opts "$<$<COMPILE_LANGUAGE:C,CXX>:${_o}>" "$<$<COMPILE_LANGUAGE:CUDA>:-Xcompiler=${_o}>")
    endforeach()
    set_property(TARGET linalg_cuda PROPERTY COMPILE_OPTIONS ${_la_new_opts})
  endif()
  target_compile_options(linalg_cuda PRIVATE $<$<COMPILE_LANGUAGE:CUDA>:--fmad=false>)
  # cudaDeviceSetSharedMemConfig is deprecated in current toolkits but still
  # part of the runtime; the solvers call it.
  target_compile_definitions(linalg_cuda PRIVATE CUDA_ENABLE_DEPRECATED)
  target_compile_definitions(linalg_cuda PUBLIC LINALG_CUDA_REAL=1)
  # linalg_cuda exists before CUDA is enabled, so it did not pick up the
  # architectures from the variable.
  set_target_properties(linalg_cuda PROPERTIES
    CUDA_ARCHITECTURES "${CMAKE_CUDA_ARCHITECTURES}"
    CUDA_VISIBILITY_PRESET hidden
    CUDA_STANDARD 17
    CUDA_STANDARD_REQUIRED ON)
  list(APPEND LINALG_EXTRA_LIBS CUDA::cudart_static)
else()
  message(STATUS "linalg GPU back-end: host emulation (LINALG_CUDA=${LINALG_CUDA})")
  target_sources(linalg_cuda PRIVATE ${_la_cuda_sources} ${_la_cuda_emu_sources})
endif()
