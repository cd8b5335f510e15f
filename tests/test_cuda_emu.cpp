// The emulated CUDA runtime itself: block barriers under every thread order,
// launch shapes a GPU refuses, memory bounds and capacity, sticky faults and
// the error texts.
#include <gtest/gtest.h>

#if defined(LINALG_CUDA_REAL)
TEST(CudaEmulation, NotBuilt) { GTEST_SKIP() << "built against the real CUDA runtime"; }
#else

#include <numeric>
#include <vector>

#include "cuda/cuda_compat.h"
#include "cuda/emu/emu_hooks.h"
#include "cuda/launch.h"

namespace {

namespace hooks = linalg::emu::testhooks;
using hooks::ThreadOrder;

// Each thread publishes a value in shared memory and then reads its
// neighbour's. Without the barrier a thread can read the neighbour's slot
// before it is written in this launch (it then holds the previous launch's
// value).
__global__ void neighbour_kernel(int* out, int salt, int use_barrier) {
    __shared__ int slot[1024];
    const unsigned t = threadIdx.x;
    slot[t] = static_cast<int>(t) * 10 + salt;
    if (use_barrier) __syncthreads();
    out[blockIdx.x * blockDim.x + t] = slot[(t + 1) % blockDim.x];
}

// Tree reduction with a barrier per level: many barriers in a loop.
__global__ void block_sum_kernel(const int* in, int* out) {
    __shared__ int part[1024];
    const unsigned t = threadIdx.x;
    part[t] = in[blockIdx.x * blockDim.x + t];
    __syncthreads();
    for (unsigned half = blockDim.x / 2; half > 0; half /= 2) {
        if (t < half) part[t] += part[t + half];
        __syncthreads();
    }
    if (t == 0) out[blockIdx.x] = part[0];
}

// Records which thread of which block ran (3-D blocks and grids).
__global__ void coordinates_kernel(int* hits) {
    const unsigned bx = blockDim.x, by = blockDim.y, bz = blockDim.z;
    const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const unsigned thread = threadIdx.x + bx * (threadIdx.y + by * threadIdx.z);
    hits[block * bx * by * bz + thread] += 1;
}

// A barrier that thread 0 skips: a fault on a GPU.
__global__ void divergent_barrier_kernel(int* out) {
    if (threadIdx.x == 0) return;
    __syncthreads();
    out[threadIdx.x] = 1;
}

class CudaEmulation : public ::testing::Test {
protected:
    void SetUp() override { hooks::reset(); }
    void TearDown() override { hooks::reset(); }
};

std::vector<int> run_neighbour(unsigned threads, unsigned blocks, int salt, bool barrier) {
    std::vector<int> out(threads * blocks, -1);
    linalg::launch_kernel("neighbour_kernel", neighbour_kernel, {dim3(blocks), dim3(threads)}, out.data(), salt,
                          barrier ? 1 : 0);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return out;
}

bool neighbour_ok(const std::vector<int>& out, unsigned threads, int salt) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        const unsigned t = static_cast<unsigned>(i % threads);
        if (out[i] != static_cast<int>((t + 1) % threads) * 10 + salt) return false;
    }
    return true;
}

TEST_F(CudaEmulation, BarrierHoldsUnderEveryThreadOrder) {
    int salt = 0;
    for (ThreadOrder order : {ThreadOrder::forward, ThreadOrder::reversed, ThreadOrder::shuffled}) {
        hooks::set_thread_order(order, 7);
        for (unsigned threads : {2u, 33u, 256u, 1024u}) {
            ++salt;
            EXPECT_TRUE(neighbour_ok(run_neighbour(threads, 3, salt, true), threads, salt))
                << "order " << static_cast<int>(order) << ", " << threads << " threads";
        }
    }
}

TEST_F(CudaEmulation, MissingBarrierShowsUpInSomeOrder) {
    // Forward order: thread t reads slot t+1 before thread t+1 wrote it.
    // Reversed order: the last thread reads slot 0 before thread 0 wrote it.
    int salt = 100;
    for (ThreadOrder order : {ThreadOrder::forward, ThreadOrder::reversed, ThreadOrder::shuffled}) {
        hooks::set_thread_order(order, 3);
        ++salt;
        EXPECT_FALSE(neighbour_ok(run_neighbour(64, 2, salt, false), 64, salt)) << static_cast<int>(order);
    }
}

TEST_F(CudaEmulation, ManyBarriersInALoop) {
    const unsigned threads = 512, blocks = 5;
    std::vector<int> in(threads * blocks);
    std::iota(in.begin(), in.end(), 1);
    for (ThreadOrder order : {ThreadOrder::forward, ThreadOrder::reversed, ThreadOrder::shuffled}) {
        hooks::set_thread_order(order, 11);
        std::vector<int> out(blocks, 0);
        linalg::launch_kernel("block_sum_kernel", block_sum_kernel, {dim3(blocks), dim3(threads)},
                              static_cast<const int*>(in.data()), out.data());
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        for (unsigned b = 0; b < blocks; ++b) {
            const long long first = b * threads + 1, last = (b + 1) * threads;
            EXPECT_EQ(out[b], (first + last) * threads / 2) << "block " << b;
        }
    }
}

TEST_F(CudaEmulation, EveryThreadOfEveryBlockRunsOnce) {
    const dim3 grid(3, 2, 2), block(4, 3, 2);
    std::vector<int> hits(3 * 2 * 2 * 4 * 3 * 2, 0);
    for (ThreadOrder order : {ThreadOrder::forward, ThreadOrder::shuffled}) {
        hooks::set_thread_order(order, 5);
        std::fill(hits.begin(), hits.end(), 0);
        linalg::launch_kernel("coordinates_kernel", coordinates_kernel, {grid, block}, hits.data());
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        for (std::size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i], 1) << i;
    }
}

TEST_F(CudaEmulation, RefusesShapesAGpuRefuses) {
    std::vector<int> hits(70000 * 2, 0);
    struct Case {
        dim3 grid, block;
        bool ok;
    };
    const Case cases[] = {
        {dim3(1), dim3(1024), true},      {dim3(1), dim3(1025), false},       {dim3(1), dim3(32, 32, 1), true},
        {dim3(1), dim3(32, 33, 1), false}, {dim3(1), dim3(1, 1, 64), true},    {dim3(1), dim3(1, 1, 65), false},
        {dim3(1, 65535), dim3(1), true},  {dim3(1, 65536), dim3(1), false},   {dim3(1, 1, 65536), dim3(1), false},
        {dim3(0), dim3(1), false},        {dim3(1), dim3(0), false},          {dim3(1), dim3(4, 0, 1), false},
    };
    for (const Case& c : cases) {
        std::fill(hits.begin(), hits.end(), 0);
        linalg::launch_kernel("coordinates_kernel", coordinates_kernel, {c.grid, c.block}, hits.data());
        const long long ran = std::accumulate(hits.begin(), hits.end(), 0LL);
        if (c.ok) {
            EXPECT_EQ(cudaGetLastError(), cudaSuccess);
            EXPECT_EQ(ran, static_cast<long long>(c.grid.x) * c.grid.y * c.grid.z * c.block.x * c.block.y * c.block.z);
        } else {
            EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration)
                << c.grid.x << "," << c.grid.y << "," << c.grid.z << " / " << c.block.x << "," << c.block.y << ","
                << c.block.z;
            EXPECT_EQ(ran, 0);
        }
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // read and cleared
    }
}

TEST_F(CudaEmulation, DivergentBarrierIsALaunchFailure) {
    std::vector<int> out(64, 0);
    linalg::launch_kernel("divergent_barrier_kernel", divergent_barrier_kernel, {dim3(1), dim3(64)}, out.data());
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
}

TEST_F(CudaEmulation, MemoryCapacityBoundsAndReset) {
    hooks::set_memory_capacity(1000);
    void* a = nullptr;
    void* b = nullptr;
    EXPECT_EQ(cudaMalloc(&a, 600), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&b, 600), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&b, 400), cudaSuccess);
    EXPECT_EQ(hooks::bytes_allocated(), 1000u);
    EXPECT_EQ(hooks::allocations(), 2);

    std::vector<char> host(700, 1);
    EXPECT_EQ(cudaMemcpy(a, host.data(), 600, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(a, host.data(), 601, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host.data(), static_cast<char*>(a) + 100, 501, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host.data(), host.data() + 1, 10, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemset(b, 0, 401), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemset(b, 0, 400), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);  // the last failure is kept

    EXPECT_EQ(cudaFree(b), cudaSuccess);
    EXPECT_EQ(cudaFree(b), cudaErrorInvalidValue);
    (void)cudaGetLastError();
    EXPECT_EQ(cudaDeviceReset(), cudaSuccess);
    EXPECT_EQ(hooks::allocations(), 0);
    EXPECT_EQ(hooks::bytes_allocated(), 0u);
    EXPECT_EQ(cudaMalloc(&a, 0), cudaSuccess);
    EXPECT_EQ(a, nullptr);
}

TEST_F(CudaEmulation, KernelFaultIsStickyUntilReset) {
    double* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 64), cudaSuccess);
    hooks::fail_launch_at(1);
    std::vector<int> hits(4, 0);
    linalg::launch_kernel("coordinates_kernel", coordinates_kernel, {dim3(1), dim3(4)}, hits.data());
    EXPECT_EQ(hits, std::vector<int>(4, 0));
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    double host[8] = {};
    EXPECT_EQ(cudaMemcpy(host, d, 64, cudaMemcpyDeviceToHost), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaDeviceReset(), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&d, 64), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(host, d, 64, cudaMemcpyDeviceToHost), cudaSuccess);
}

TEST_F(CudaEmulation, InjectedFaultsHitTheKthCallOnly) {
    hooks::fail_malloc_at(2);
    void* p[3] = {};
    EXPECT_EQ(cudaMalloc(&p[0], 8), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&p[1], 8), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaMalloc(&p[2], 8), cudaSuccess);
    hooks::fail_copy_at(1, cudaErrorUnknown);
    double x = 1.0;
    EXPECT_EQ(cudaMemcpy(p[0], &x, 8, cudaMemcpyHostToDevice), cudaErrorUnknown);
    EXPECT_EQ(cudaMemcpy(p[0], &x, 8, cudaMemcpyHostToDevice), cudaSuccess);
    hooks::fail_memset_at(1);
    EXPECT_EQ(cudaMemset(p[0], 0, 8), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemset(p[0], 0, 8), cudaSuccess);
}

TEST_F(CudaEmulation, DevicesAndProperties) {
    hooks::set_devices({{3, 0}, {7, 5}});
    int count = -1;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 2);
    cudaDeviceProp prop;
    EXPECT_EQ(cudaGetDeviceProperties(&prop, 1), cudaSuccess);
    EXPECT_EQ(prop.major, 7);
    EXPECT_EQ(prop.minor, 5);
    EXPECT_EQ(cudaGetDeviceProperties(&prop, 2), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaSetDevice(1), cudaSuccess);
    EXPECT_EQ(hooks::current_device(), 1);
    EXPECT_EQ(cudaSetDevice(-1), cudaErrorInvalidDevice);
    EXPECT_EQ(hooks::current_device(), 1);
    hooks::set_devices({});
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
    EXPECT_EQ(count, 0);
}

TEST_F(CudaEmulation, ErrorStringsAreTheRuntimes) {
    EXPECT_STREQ(cudaGetErrorString(cudaSuccess), "no error");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidValue), "invalid argument");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidConfiguration), "invalid configuration argument");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorNoDevice), "no CUDA-capable device is detected");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchFailure), "unspecified launch failure");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorIllegalAddress), "an illegal memory access was encountered");
}

} // namespace

#endif
