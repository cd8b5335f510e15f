// Helpers of the host-side protocol shared by every GPU operation.
#ifndef LINALG_CUDA_PROTOCOL_H
#define LINALG_CUDA_PROTOCOL_H

#include <cstddef>

#include "cuda/launch.h"

namespace linalg {

// Messages of the three checkpoints.
extern const char* const kMallocError;  // "cudaMalloc error! %s\n"
extern const char* const kUploadError;  // "cudaMemcpy HtD error! %s\n"
extern const char* const kDownloadError;  // "cudaMemcpy DtH error! %s\n"

// Reads and clears the runtime's last error; when there is one, records
// NoMemory (out of memory) or Device as the status, prints `message` with
// the runtime's text for it and returns false.
bool gpu_checkpoint(const char* message);

// Bytes of a device buffer of rows*cols elements of `elem` bytes, in 64-bit
// arithmetic; negative counts count as 0. A size that does not fit into
// size_t becomes SIZE_MAX, which no device can allocate, so the overflow is
// reported by checkpoint 1 as an allocation failure.
std::size_t gpu_bytes(long long rows, long long cols, std::size_t elem);

// ceil(a / b) for a >= 0, b > 0, as quotient plus one when there is a remainder.
inline unsigned ceil_div(long long a, long long b) {
    return static_cast<unsigned>(a / b + (a % b != 0 ? 1 : 0));
}

// One thread per element of a count n: one block of n threads when n <= 512,
// else blocks of 512 threads.
LaunchShape shape_1d(int n);

// Grid of col_blocks x row_blocks blocks. A GPU allows at most 65,535 blocks
// in grid.y (and grid.z): more row blocks are spread over y and z as
// ceil(row_blocks / z) x z with the smallest such z; the kernels count rows
// over both. Up to 65,535 row blocks this is (col_blocks, row_blocks, 1).
dim3 grid_2d(long long col_blocks, long long row_blocks);

// One thread per element of an nR x nC result (x = column, y = row): one
// block of nC x nR threads when nR*nC <= 512, else 16 x 16 blocks on
// grid_2d(ceil(nC / 16), ceil(nR / 16)).
LaunchShape shape_2d(int nR, int nC);

} // namespace linalg

#endif
