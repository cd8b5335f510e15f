// Emulated CUDA runtime: devices, memory, errors, call trace and the kernel
// launcher with block barriers (see cuda_emu.h and emu_hooks.h).
#include "cuda/emu/cuda_emu.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "cuda/emu/emu_hooks.h"
#include "cuda/emu/fibers.h"

__thread dim3 threadIdx;
__thread dim3 blockIdx;
__thread dim3 blockDim;
__thread dim3 gridDim;

namespace linalg {
namespace emu {
namespace {

using testhooks::ThreadOrder;

struct Device {
    int major = 6;
    int minor = 1;
    std::size_t capacity = testhooks::kDefaultCapacity;
    std::size_t used = 0;
    std::map<std::uintptr_t, std::size_t> allocs;  // start address -> bytes
    cudaError_t sticky = cudaSuccess;  // kernel fault that poisons the context
    int bank = cudaSharedMemBankSizeDefault;
};

// Fault injection: the k-th call after arming fails once with `error`.
struct Fault {
    long long at = 0;
    long long calls = 0;
    cudaError_t error = cudaSuccess;
    void arm(long long k, cudaError_t e) {
        at = k;
        calls = 0;
        error = e;
    }
    bool hit() {
        if (at <= 0) return false;
        if (++calls != at) return false;
        at = 0;
        return true;
    }
};

struct Runtime {
    std::vector<Device> devices{Device{}};
    Fault malloc_fault, copy_fault, memset_fault, launch_fault, host_fault;
    long long host_allocs = 0;  // host allocations of the emulation itself
    bool tracing = false;
    std::vector<std::string> log;
    ThreadOrder order = ThreadOrder::forward;
    unsigned seed = 1;
};

Runtime& rt() {
    static Runtime r;
    return r;
}
// Built while the library loads, not at a first call that might find no
// memory left.
[[maybe_unused]] const bool g_runtime_built = (rt(), true);

thread_local int t_current = 0;
thread_local cudaError_t t_last = cudaSuccess;

bool is_sticky(cudaError_t e) { return e == cudaErrorLaunchFailure || e == cudaErrorIllegalAddress; }

// Appends the line that `make` builds to the trace, when tracing. The line
// is built only then, so an untraced call allocates nothing for it; a trace
// line that cannot be allocated is dropped (the trace is a test aid).
template <typename Make>
void note_with(Make make) {
    if (!rt().tracing) return;
    try {
        rt().log.push_back(make());
    } catch (const std::bad_alloc&) {
    }
}
#define LINALG_EMU_NOTE(expr) note_with([&]() -> std::string { return expr; })

// Records a failure as the last error and marks the trace line.
cudaError_t fail(cudaError_t e) {
    t_last = e;
    if (rt().tracing && !rt().log.empty()) {
        try {
            rt().log.back() += " -> " + std::to_string(static_cast<int>(e));
        } catch (const std::bad_alloc&) {
        }
    }
    return e;
}

// Counts one host allocation of the emulation and says whether an injected
// fault makes it fail.
bool host_alloc_refused() {
    ++rt().host_allocs;
    return rt().host_fault.hit();
}


Device* current() {
    Runtime& r = rt();
    if (t_current < 0 || t_current >= static_cast<int>(r.devices.size())) return nullptr;
    return &r.devices[static_cast<std::size_t>(t_current)];
}

// Device buffers: host blocks aligned as a GPU aligns its allocations, from
// the standard aligned operator new (every platform's C library has it under
// a different name).
constexpr std::align_val_t kDeviceAlign{256};
void* device_block(std::size_t size) { return ::operator new(size, kDeviceAlign, std::nothrow); }
void free_device_block(void* p) { ::operator delete(p, kDeviceAlign); }

void release_all(Device& d) {
    for (const auto& a : d.allocs) free_device_block(reinterpret_cast<void*>(a.first));
    d.allocs.clear();
    d.used = 0;
}

// True when [p, p + n) lies inside one allocation of `d`.
bool inside(const Device& d, const void* p, std::size_t n) {
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p);
    auto it = d.allocs.upper_bound(a);
    if (it == d.allocs.begin()) return false;
    --it;
    const std::uintptr_t off = a - it->first;
    return off <= it->second && n <= it->second - off;
}

std::string shape(const char* what, dim3 d) {
    return std::string(what) + "(" + std::to_string(d.x) + "," + std::to_string(d.y) + "," + std::to_string(d.z) + ")";
}

// ---- block execution ------------------------------------------------------

// Thrown by a barrier met by a thread that runs as a plain call: the block
// was started without fibers because its first thread finished without one.
struct BarrierOutsideFiber {};

void fiber_entry();

struct BlockRun {
    explicit BlockRun(unsigned threads) : fibers(threads, fiber_entry, [] { return !host_alloc_refused(); }) {}
    ThreadBody body = nullptr;
    void* context = nullptr;
    dim3 dims;
    Fibers fibers;
    std::vector<char> done;
    unsigned running = 0;
};

thread_local BlockRun* t_run = nullptr;
thread_local bool t_in_fiber = false;

dim3 thread_index(const dim3& dims, unsigned t) {
    return dim3(t % dims.x, (t / dims.x) % dims.y, t / (dims.x * dims.y));
}

void fiber_entry() {
    BlockRun& r = *t_run;
    r.body(r.context);
    r.done[r.running] = 1;
}

void start_fiber(BlockRun& r, unsigned t) { r.fibers.start(t); }

// Runs fiber t until it meets a barrier or finishes.
void resume(BlockRun& r, unsigned t) {
    r.running = t;
    threadIdx = thread_index(r.dims, t);
    t_in_fiber = true;
    r.fibers.resume(t);
    t_in_fiber = false;
}

// Runs one block. The first thread (in the chosen order) runs as a fiber; if
// it finishes without meeting a barrier, the kernel has none in this block
// and the other threads run as plain calls. Otherwise every thread becomes a
// fiber and they advance round-robin from barrier to barrier; a finished
// thread counts as arrived.
void run_block(BlockRun& r, const std::vector<unsigned>& order) {
    const unsigned n = static_cast<unsigned>(order.size());
    r.done.assign(n, 0);
    start_fiber(r, order[0]);
    resume(r, order[0]);
    if (r.done[order[0]]) {
        for (unsigned k = 1; k < n; ++k) {
            threadIdx = thread_index(r.dims, order[k]);
            r.body(r.context);
        }
        return;
    }
    for (unsigned k = 1; k < n; ++k) {
        start_fiber(r, order[k]);
        resume(r, order[k]);
    }
    bool all_done = false;
    while (!all_done) {
        all_done = true;
        for (unsigned k = 0; k < n; ++k) {
            const unsigned t = order[k];
            if (r.done[t]) continue;
            resume(r, t);
            if (!r.done[t]) all_done = false;
        }
    }
}

bool valid_shape(dim3 g, dim3 b) {
    if (g.x == 0 || g.y == 0 || g.z == 0 || b.x == 0 || b.y == 0 || b.z == 0) return false;
    if (b.x > 1024 || b.y > 1024 || b.z > 64) return false;
    if (static_cast<unsigned long long>(b.x) * b.y * b.z > 1024) return false;
    if (g.x > 2147483647u || g.y > 65535 || g.z > 65535) return false;
    return true;
}

} // namespace

void launch(const char* name, dim3 grid, dim3 block, ThreadBody body, void* context) {
    Runtime& rtm = rt();
    LINALG_EMU_NOTE(std::string("launch ") + name + " " + shape("grid", grid) + " " + shape("block", block));
    Device* d = current();
    if (!d) {
        fail(cudaErrorNoDevice);
        return;
    }
    if (d->sticky != cudaSuccess) {
        fail(d->sticky);
        return;
    }
    if (!valid_shape(grid, block)) {
        fail(cudaErrorInvalidConfiguration);
        return;
    }
    if (rtm.launch_fault.hit()) {
        const cudaError_t e = rtm.launch_fault.error;
        if (is_sticky(e)) d->sticky = e;
        fail(e);
        return;
    }

    const unsigned n = block.x * block.y * block.z;
    BlockRun run(n);
    run.body = body;
    run.context = context;
    run.dims = block;
    BlockRun* const outer = t_run;
    t_run = &run;
    blockDim = block;
    gridDim = grid;
    try {
        std::vector<unsigned> order(n);
        std::iota(order.begin(), order.end(), 0u);
        if (rtm.order == ThreadOrder::reversed) std::reverse(order.begin(), order.end());
        std::mt19937 shuffler(rtm.seed);
        for (unsigned z = 0; z < grid.z; ++z)
            for (unsigned y = 0; y < grid.y; ++y)
                for (unsigned x = 0; x < grid.x; ++x) {
                    blockIdx = dim3(x, y, z);
                    if (rtm.order == ThreadOrder::shuffled) std::shuffle(order.begin(), order.end(), shuffler);
                    run_block(run, order);
                }
    } catch (const BarrierOutsideFiber&) {
        // A barrier that only some threads of a block reach: a kernel fault.
        d->sticky = cudaErrorLaunchFailure;
        fail(cudaErrorLaunchFailure);
    } catch (const std::bad_alloc&) {
        // No host memory for the launch (fiber stacks, bookkeeping): the
        // launch fails as a real one that cannot get its resources; blocks
        // already run may have written, so the caller must not download.
        fail(cudaErrorMemoryAllocation);
    }
    t_run = outer;
}

} // namespace emu
} // namespace linalg

using linalg::emu::current;
using linalg::emu::fail;
using linalg::emu::note_with;
using linalg::emu::rt;

void __syncthreads() {
    using namespace linalg::emu;
    if (!t_in_fiber) {
        if (blockDim.x * blockDim.y * blockDim.z == 1) return;
        throw BarrierOutsideFiber{};
    }
    BlockRun& r = *t_run;
    r.fibers.yield(r.running);
}

// ---- runtime API ------------------------------------------------------------

cudaError_t cudaGetDeviceCount(int* count) {
    LINALG_EMU_NOTE("getDeviceCount");
    *count = static_cast<int>(rt().devices.size());
    if (*count == 0) return fail(cudaErrorNoDevice);
    return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    LINALG_EMU_NOTE("getDeviceProperties " + std::to_string(device));
    if (device < 0 || device >= static_cast<int>(rt().devices.size())) return fail(cudaErrorInvalidDevice);
    const auto& d = rt().devices[static_cast<std::size_t>(device)];
    std::memset(prop, 0, sizeof *prop);
    std::snprintf(prop->name, sizeof prop->name, "linalg emulated device %d", device);
    prop->totalGlobalMem = d.capacity;
    prop->major = d.major;
    prop->minor = d.minor;
    prop->maxThreadsPerBlock = 1024;
    prop->maxThreadsDim[0] = 1024;
    prop->maxThreadsDim[1] = 1024;
    prop->maxThreadsDim[2] = 64;
    prop->maxGridSize[0] = 2147483647;
    prop->maxGridSize[1] = 65535;
    prop->maxGridSize[2] = 65535;
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    LINALG_EMU_NOTE("setDevice " + std::to_string(device));
    if (device < 0 || device >= static_cast<int>(rt().devices.size())) return fail(cudaErrorInvalidDevice);
    linalg::emu::t_current = device;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    *device = linalg::emu::t_current;
    return cudaSuccess;
}

cudaError_t cudaDeviceReset() {
    LINALG_EMU_NOTE("reset");
    auto* d = current();
    if (!d) return fail(cudaErrorNoDevice);
    linalg::emu::release_all(*d);
    d->sticky = cudaSuccess;
    d->bank = cudaSharedMemBankSizeDefault;
    return cudaSuccess;
}

cudaError_t cudaDeviceSetSharedMemConfig(cudaSharedMemConfig config) {
    const int bytes = config == cudaSharedMemBankSizeEightByte ? 8 : config == cudaSharedMemBankSizeFourByte ? 4 : 0;
    LINALG_EMU_NOTE("sharedMemConfig " + std::to_string(bytes));
    auto* d = current();
    if (!d) return fail(cudaErrorNoDevice);
    if (config < cudaSharedMemBankSizeDefault || config > cudaSharedMemBankSizeEightByte) return fail(cudaErrorInvalidValue);
    d->bank = config;
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize() {
    LINALG_EMU_NOTE("synchronize");
    auto* d = current();
    if (!d) return fail(cudaErrorNoDevice);
    if (d->sticky != cudaSuccess) return fail(d->sticky);
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** devPtr, std::size_t size) {
    LINALG_EMU_NOTE("malloc " + std::to_string(size));
    auto* d = current();
    if (!d) return fail(cudaErrorNoDevice);
    if (d->sticky != cudaSuccess) return fail(d->sticky);
    if (rt().malloc_fault.hit()) return fail(rt().malloc_fault.error);
    if (size == 0) {
        *devPtr = nullptr;
        return cudaSuccess;
    }
    if (d->used > d->capacity || size > d->capacity - d->used || size > SIZE_MAX - 255) return fail(cudaErrorMemoryAllocation);
    // Device memory is host memory here: a host that has none left gives
    // the runtime's out-of-memory error, also when the bookkeeping entry
    // cannot be allocated.
    void* p = linalg::emu::host_alloc_refused() ? nullptr : linalg::emu::device_block((size + 255) / 256 * 256);
    if (!p) return fail(cudaErrorMemoryAllocation);
    try {
        d->allocs[reinterpret_cast<std::uintptr_t>(p)] = size;
    } catch (const std::bad_alloc&) {
        linalg::emu::free_device_block(p);
        return fail(cudaErrorMemoryAllocation);
    }
    d->used += size;
    *devPtr = p;
    return cudaSuccess;
}

cudaError_t cudaFree(void* devPtr) {
    auto* d = current();
    if (!d) {
        LINALG_EMU_NOTE("free ?");
        return fail(cudaErrorNoDevice);
    }
    auto it = d->allocs.find(reinterpret_cast<std::uintptr_t>(devPtr));
    const bool known = it != d->allocs.end();
    LINALG_EMU_NOTE("free " + (known ? std::to_string(it->second) : std::string(devPtr ? "?" : "0")));
    if (!devPtr) return cudaSuccess;
    if (d->sticky != cudaSuccess) return fail(d->sticky);
    if (!known) return fail(cudaErrorInvalidValue);
    d->used -= it->second;
    linalg::emu::free_device_block(devPtr);
    d->allocs.erase(it);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* devPtr, int value, std::size_t count) {
    LINALG_EMU_NOTE("memset " + std::to_string(count));
    auto* d = current();
    if (!d) return fail(cudaErrorNoDevice);
    if (d->sticky != cudaSuccess) return fail(d->sticky);
    if (rt().memset_fault.hit()) return fail(rt().memset_fault.error);
    if (count == 0) return cudaSuccess;
    if (!linalg::emu::inside(*d, devPtr, count)) return fail(cudaErrorInvalidValue);
    std::memset(devPtr, value, count);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
    static const char* const names[] = {"HtH", "HtD", "DtH", "DtD", "Default"};
    const int k = static_cast<int>(kind);
    LINALG_EMU_NOTE(std::string("memcpy ") + (k >= 0 && k <= 4 ? names[k] : "?") + " " + std::to_string(count));
    auto* d = current();
    if (!d) return fail(cudaErrorNoDevice);
    if (d->sticky != cudaSuccess) return fail(d->sticky);
    if (rt().copy_fault.hit()) return fail(rt().copy_fault.error);
    if (k < 0 || k > 4) return fail(cudaErrorInvalidValue);
    if (count == 0) return cudaSuccess;
    const bool dst_dev = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool src_dev = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (dst_dev && !linalg::emu::inside(*d, dst, count)) return fail(cudaErrorInvalidValue);
    if (src_dev && !linalg::emu::inside(*d, src, count)) return fail(cudaErrorInvalidValue);
    std::memmove(dst, src, count);
    return cudaSuccess;
}

cudaError_t cudaGetLastError() {
    LINALG_EMU_NOTE("getLastError");
    const cudaError_t e = linalg::emu::t_last;
    linalg::emu::t_last = cudaSuccess;
    return e;
}

cudaError_t cudaPeekAtLastError() { return linalg::emu::t_last; }

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInitializationError: return "initialization error";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidDevicePointer: return "invalid device pointer";
    case cudaErrorNoDevice: return "no CUDA-capable device is detected";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    case cudaErrorUnknown: return "unknown error";
    }
    return "unrecognized error code";
}

// ---- test hooks ---------------------------------------------------------------

namespace linalg {
namespace emu {
namespace testhooks {

void reset() { set_devices({{6, 1}}); }

void set_devices(const std::vector<std::pair<int, int>>& capabilities) {
    Runtime& r = rt();
    for (auto& d : r.devices) release_all(d);
    r.devices.clear();
    for (const auto& c : capabilities) {
        Device d;
        d.major = c.first;
        d.minor = c.second;
        r.devices.push_back(d);
    }
    r.malloc_fault = Fault{};
    r.copy_fault = Fault{};
    r.memset_fault = Fault{};
    r.launch_fault = Fault{};
    r.host_fault = Fault{};
    r.host_allocs = 0;
    Fibers::drain_pool();
    r.tracing = false;
    r.log.clear();
    r.order = ThreadOrder::forward;
    r.seed = 1;
    t_current = 0;
    t_last = cudaSuccess;
}

void set_memory_capacity(std::size_t bytes) {
    for (auto& d : rt().devices) d.capacity = bytes;
}

void fail_malloc_at(long long k, cudaError_t error) { rt().malloc_fault.arm(k, error); }
void fail_copy_at(long long k, cudaError_t error) { rt().copy_fault.arm(k, error); }
void fail_memset_at(long long k, cudaError_t error) { rt().memset_fault.arm(k, error); }
void fail_launch_at(long long k, cudaError_t error) { rt().launch_fault.arm(k, error); }
void fail_host_alloc_at(long long k) { rt().host_fault.arm(k, cudaErrorMemoryAllocation); }
long long host_alloc_calls() { return rt().host_allocs; }
void reset_host_alloc_calls() {
    rt().host_allocs = 0;
    rt().host_fault = Fault{};
}

void set_thread_order(ThreadOrder order, unsigned seed) {
    rt().order = order;
    rt().seed = seed;
}

void trace_on() { rt().tracing = true; }
void trace_off() { rt().tracing = false; }
void trace_clear() { rt().log.clear(); }
std::vector<std::string> trace() { return rt().log; }

std::size_t bytes_allocated(int dev) {
    if (dev < 0 || dev >= static_cast<int>(rt().devices.size())) return 0;
    return rt().devices[static_cast<std::size_t>(dev)].used;
}

int allocations(int dev) {
    if (dev < 0 || dev >= static_cast<int>(rt().devices.size())) return 0;
    return static_cast<int>(rt().devices[static_cast<std::size_t>(dev)].allocs.size());
}

int bank_config(int dev) {
    if (dev < 0 || dev >= static_cast<int>(rt().devices.size())) return -1;
    return rt().devices[static_cast<std::size_t>(dev)].bank;
}

int current_device() { return t_current; }

} // namespace testhooks
} // namespace emu
} // namespace linalg
