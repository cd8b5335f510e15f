#include "cuda/protocol.h"

#include <cstdint>
#include <cstdio>

#include "base/message.h"
#include "base/work_memory.h"

namespace linalg {

const char* const kMallocError = "cudaMalloc error! %s\n";
const char* const kUploadError = "cudaMemcpy HtD error! %s\n";
const char* const kDownloadError = "cudaMemcpy DtH error! %s\n";

bool gpu_checkpoint(const char* message) {
    const cudaError_t err = cudaGetLastError();
    if (err == cudaSuccess) return true;
    report(err == cudaErrorMemoryAllocation ? Error::NoMemory : Error::Device, Out::out_flushed, message,
           cudaGetErrorString(err));
    return false;
}

std::size_t gpu_bytes(long long rows, long long cols, std::size_t elem) {
    if (rows <= 0 || cols <= 0) return 0;
    const std::size_t bytes = work_bytes(rows, cols, elem);
    return bytes == 0 ? SIZE_MAX : bytes;
}

LaunchShape shape_1d(int n) {
    if (n <= 512) return {dim3(1), dim3(static_cast<unsigned>(n))};
    return {dim3(ceil_div(n, 512)), dim3(512)};
}

dim3 grid_2d(long long col_blocks, long long row_blocks) {
    constexpr long long kMaxY = 65535;
    const long long z = row_blocks <= kMaxY ? 1 : ceil_div(row_blocks, kMaxY);
    return dim3(static_cast<unsigned>(col_blocks), ceil_div(row_blocks, z), static_cast<unsigned>(z));
}

LaunchShape shape_2d(int nR, int nC) {
    if (static_cast<long long>(nR) * nC <= 512)
        return {dim3(1, 1), dim3(static_cast<unsigned>(nC), static_cast<unsigned>(nR))};
    return {grid_2d(ceil_div(nC, 16), ceil_div(nR, 16)), dim3(16, 16)};
}

} // namespace linalg
