// One kernel source, two runtimes. Under nvcc this includes the CUDA runtime;
// with the host compiler it includes the project's emulated runtime and turns
// the CUDA C++ keywords into plain C++:
//  * __global__, __device__, __host__ vanish (kernels become host functions
//    that the emulated launcher calls once per GPU thread);
//  * __shared__ becomes per-block storage: the threads of a block run as
//    fibers of the launching host thread, and blocks run one after another,
//    so a function-static thread_local array is private to the running block;
//  * fma is the C library's correctly rounded fused multiply-add, the same
//    operation as the device's, so emulated results match a GPU's bits.
#ifndef LINALG_CUDA_CUDA_COMPAT_H
#define LINALG_CUDA_CUDA_COMPAT_H

#include <cmath>

#if defined(__CUDACC__)
#include <cuda_runtime.h>
#define LINALG_CUDA_EMULATED 0
#else
#include "cuda/emu/cuda_emu.h"
#define LINALG_CUDA_EMULATED 1
#define __global__
#define __device__
#define __host__
#define __shared__ static thread_local
using std::fma;
#endif

#endif
