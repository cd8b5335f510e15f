// Test hooks of the emulated CUDA runtime: the emulated devices, their
// memory, fault injection, the order of threads inside a block and a trace of
// the runtime calls. Reached from the tests only (the shared library exports
// none of it).
#ifndef LINALG_CUDA_EMU_EMU_HOOKS_H
#define LINALG_CUDA_EMU_EMU_HOOKS_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "cuda/emu/cuda_emu.h"

namespace linalg {
namespace emu {
namespace testhooks {

// Default memory capacity of each emulated device.
constexpr std::size_t kDefaultCapacity = std::size_t(4) << 30;

// Back to the state after load: one device of capability 6.1, default
// capacity, every allocation freed, current device 0, no last error, no
// fault injection, trace off and empty, threads in forward order, no pooled
// fiber stack.
void reset();

// Replaces the device list by devices of the given (major, minor)
// capabilities (possibly none); implies reset() of everything else.
void set_devices(const std::vector<std::pair<int, int>>& capabilities);

// Memory capacity of every device, in bytes.
void set_memory_capacity(std::size_t bytes);

// Make the k-th following call (k >= 1) of the kind fail with `error`;
// k = 0 disables. Copies count cudaMemcpy calls, fills count cudaMemset.
void fail_malloc_at(long long k, cudaError_t error = cudaErrorMemoryAllocation);
void fail_copy_at(long long k, cudaError_t error = cudaErrorInvalidValue);
void fail_memset_at(long long k, cudaError_t error = cudaErrorInvalidValue);
void fail_launch_at(long long k, cudaError_t error = cudaErrorLaunchFailure);

// The emulation's own host memory: device buffers and the stacks of the
// threads of blocks that meet a barrier (pooled across launches; reset()
// empties the pool). The k-th following such allocation (k >= 1) fails as if
// the host had no memory left; 0 disables. host_alloc_calls counts them
// since the last reset_host_alloc_calls (which also disarms) or reset().
void fail_host_alloc_at(long long k);
long long host_alloc_calls();
void reset_host_alloc_calls();

// Order in which the threads of a block run between barriers.
enum class ThreadOrder { forward, reversed, shuffled };
void set_thread_order(ThreadOrder order, unsigned seed = 1);

// Call trace, one line per runtime call, for example
//   "reset", "sharedMemConfig 8", "malloc 4232", "memset 4232",
//   "memcpy HtD 4232", "memcpy DtH 200", "getLastError",
//   "launch matrixMultiplicationKernel grid(2,2,1) block(16,16,1)",
//   "synchronize", "free 4232", "getDeviceCount", "getDeviceProperties 0",
//   "setDevice 0".
// Failing calls append " -> <error number>".
void trace_on();
void trace_off();
void trace_clear();
std::vector<std::string> trace();

// Device memory currently allocated on device `dev`: bytes and blocks.
std::size_t bytes_allocated(int dev = 0);
int allocations(int dev = 0);

// Shared-memory bank setting of device `dev` (a cudaSharedMemConfig value).
int bank_config(int dev = 0);

// The calling thread's current device.
int current_device();

} // namespace testhooks
} // namespace emu
} // namespace linalg

#endif
