# The kernel layer's per-architecture sources and per-file instruction sets.
# Which table runs is decided once at load (dispatch.cpp).
#
# x86 (x86-64 and 32-bit): sse2.cpp with the default flags, avx2.cpp and
# avx512.cpp with their own sets. -mno-fma keeps the AVX2 file free of fused
# multiply-add; the AVX-512 file relies on -ffp-contract=off (AVX-512F
# itself contains FMA instructions).
# aarch64: neon.cpp with the default flags (Advanced SIMD is part of the
# base architecture; -ffp-contract=off keeps fmla out).
# Any other processor: the reference table alone (reference.cpp).
#
# linalg_kernel_sources(LIST) takes the files of other architectures out
# of LIST and sets the flags of the ones kept.
function(linalg_kernel_sources listvar)
  set(_dir ${PROJECT_SOURCE_DIR}/src/kernels)
  set(_x86 ${_dir}/sse2.cpp ${_dir}/avx2.cpp ${_dir}/avx512.cpp)
  set(_arm ${_dir}/neon.cpp)
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" _cpu)
  if(_cpu MATCHES "^(x86_64|amd64|x64|i[3-6]86|x86)$")
    set(_drop ${_arm})
    set_source_files_properties(${_dir}/avx2.cpp
      PROPERTIES COMPILE_OPTIONS "-mavx2;-mno-fma;-ffp-contract=off")
    set_source_files_properties(${_dir}/avx512.cpp
      PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512dq;-mavx512bw;-mavx512vl;-ffp-contract=off;-Wno-maybe-uninitialized")
    # (-Wno-maybe-uninitialized: GCC 12's AVX-512 shuffle intrinsics start
    # from _mm512_undefined_pd() and trip a false warning when inlined.)
  elseif(_cpu MATCHES "^(aarch64|arm64)$")
    set(_drop ${_x86})
  else()
    set(_drop ${_x86} ${_arm})
  endif()
  set(_kept ${${listvar}})
  list(REMOVE_ITEM _kept ${_drop})
  set(${listvar} ${_kept} PARENT_SCOPE)
endfunction()
