// The one way host routines start a kernel, so the same host code drives the
// CUDA runtime and the emulation.
#ifndef LINALG_CUDA_LAUNCH_H
#define LINALG_CUDA_LAUNCH_H

#include "cuda/cuda_compat.h"

namespace linalg {

// Launch geometry: grid of blocks and threads per block.
struct LaunchShape {
    dim3 grid;
    dim3 block;
};

// Launches `kernel` on the default stream over shape.grid x shape.block
// threads, without dynamic shared memory, passing `args` by value (each
// converted to the kernel's parameter type). Asynchronous on a GPU; errors
// (such as a refused shape) are left for cudaGetLastError. `name` is the
// kernel's name, used by the emulation's call trace.
template <typename... Params, typename... Args>
void launch_kernel(const char* name, void (*kernel)(Params...), LaunchShape shape, Args... args) {
    static_assert(sizeof...(Params) == sizeof...(Args), "kernel argument count");
#if LINALG_CUDA_EMULATED
    auto call = [&]() { kernel(static_cast<Params>(args)...); };
    using Call = decltype(call);
    emu::launch(name, shape.grid, shape.block, [](void* c) { (*static_cast<Call*>(c))(); }, &call);
#else
    (void)name;
    kernel<<<shape.grid, shape.block>>>(static_cast<Params>(args)...);
#endif
}

} // namespace linalg

// launch_kernel with the kernel's own name for the trace.
#define LINALG_LAUNCH(kernel, shape, ...) ::linalg::launch_kernel(#kernel, kernel, shape, __VA_ARGS__)

#endif
