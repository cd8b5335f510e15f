// Host emulation of the part of the CUDA runtime API that the GPU back-end
// uses. It is compiled instead of <cuda_runtime.h> when the library is built
// without the CUDA toolkit, so the same host routines and kernels run on the
// CPU.
//
// Meaning of each call follows the real runtime:
//  * devices: a list of emulated devices with a compute capability and a
//    finite memory capacity; the current device is per host thread;
//  * cudaDeviceReset frees every allocation of the current device and clears
//    its sticky fault;
//  * cudaMalloc fails with cudaErrorMemoryAllocation when the request does not
//    fit into the remaining capacity; cudaMalloc of 0 bytes yields nullptr;
//  * cudaMemset and cudaMemcpy are blocking and check that the device side
//    lies inside one allocation (else cudaErrorInvalidValue);
//  * every failing call records its error as the thread's last error, which
//    cudaGetLastError returns and clears; a kernel fault
//    (cudaErrorLaunchFailure, cudaErrorIllegalAddress) also makes every later
//    call on the device fail until the next reset, as on a GPU;
//  * kernel launches run at once, block after block, in the calling thread.
//
// Device pointers are host addresses, so kernels dereference them directly.
#ifndef LINALG_CUDA_EMU_CUDA_EMU_H
#define LINALG_CUDA_EMU_CUDA_EMU_H

#include <cstddef>

// Error codes with the real runtime's numbers.
enum cudaError_t {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchFailure = 719,
    cudaErrorUnknown = 999
};

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4
};

enum cudaSharedMemConfig {
    cudaSharedMemBankSizeDefault = 0,
    cudaSharedMemBankSizeFourByte = 1,
    cudaSharedMemBankSizeEightByte = 2
};

// The fields of the real record that the emulation fills.
struct cudaDeviceProp {
    char name[256];
    std::size_t totalGlobalMem;
    int major;
    int minor;
    int maxThreadsPerBlock;
    int maxThreadsDim[3];
    int maxGridSize[3];
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaDeviceReset();
cudaError_t cudaDeviceSetSharedMemConfig(cudaSharedMemConfig config);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaMalloc(void** devPtr, std::size_t size);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaMemset(void* devPtr, int value, std::size_t count);
cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind);
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);

template <class T>
inline cudaError_t cudaMalloc(T** devPtr, std::size_t size) {
    return cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}

// Built-in variables of the running emulated thread, set by the launcher.
// They are __thread (constant-initialised TLS) rather than thread_local: a
// thread_local declared extern is read through a per-variable wrapper call
// whose result the undefined-behaviour sanitizer null-checks, and with g++
// that check can read flags the linker's TLS relaxation leaves unset, so a
// statically linked kernel would see a null `blockIdx`. A __thread variable
// is read directly, with no wrapper and no check.
extern __thread dim3 threadIdx;
extern __thread dim3 blockIdx;
extern __thread dim3 blockDim;
extern __thread dim3 gridDim;

// Barrier of the threads of one block.
void __syncthreads();

namespace linalg {
namespace emu {

// Body of one emulated GPU thread: calls the kernel with its arguments.
using ThreadBody = void (*)(void* context);

// Launches `body` over grid x block threads on the current device. A shape a
// GPU refuses (more than 1024 threads per block, an extent above the device
// limits, any extent 0) records cudaErrorInvalidConfiguration and runs
// nothing. `name` appears in the call trace.
void launch(const char* name, dim3 grid, dim3 block, ThreadBody body, void* context);

} // namespace emu
} // namespace linalg

#endif
