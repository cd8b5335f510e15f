# The kernel layer's per-file instruction sets. Only these two files are built
# for AVX2 / AVX-512; which table runs is decided once at load (dispatch.cpp).
# -mno-fma keeps the AVX2 file free of fused multiply-add; the AVX-512 file
# relies on -ffp-contract=off (AVX-512F itself contains FMA instructions).
set_source_files_properties(${PROJECT_SOURCE_DIR}/src/kernels/avx2.cpp
  PROPERTIES COMPILE_OPTIONS "-mavx2;-mno-fma;-ffp-contract=off")
set_source_files_properties(${PROJECT_SOURCE_DIR}/src/kernels/avx512.cpp
  PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512dq;-mavx512bw;-mavx512vl;-ffp-contract=off;-Wno-maybe-uninitialized")
# (-Wno-maybe-uninitialized: GCC 12's AVX-512 shuffle intrinsics start from
# _mm512_undefined_pd() and trip a false warning when inlined.)
