// Work memory of the library's own routines (sort indices, solver and
// eigen-solver work arrays, host buffers of the GPU solvers).
//
// Every work allocation goes through work_alloc so that a failure is handled
// in one way everywhere: the caller prints report_no_memory's message and
// returns with its outputs untouched. Tests can make chosen allocations fail
// and count the blocks still held.
#ifndef LINALG_BASE_WORK_MEMORY_H
#define LINALG_BASE_WORK_MEMORY_H

#include <cstddef>
#include <cstdint>

namespace linalg {

// malloc of `bytes`, or nullptr when the system (or an injected fault)
// refuses. Free with work_free. Blocks of 4 MB and more are aligned to 2 MB,
// and the last one freed (up to 128 MB) is kept for the next request it
// can hold.
void* work_alloc(std::size_t bytes);
void work_free(void* p);

// Element count rows*cols in bytes of `elem` each, or 0 when it cannot be
// represented in size_t (the caller then reports the allocation as failed).
std::size_t work_bytes(long long rows, long long cols, std::size_t elem);

// The first 64-byte boundary at or after p (blocks that are to be aligned
// are requested 64 bytes larger).
inline double* align64(void* p) {
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p);
    return reinterpret_cast<double*>((a + 63) & ~static_cast<std::uintptr_t>(63));
}

// Doubles from one row to the next for rows of `count` doubles laid one
// after another: whole 64-byte lines, and no multiple of 512 bytes, so that
// rows a few apart do not share their offset within a 4 KB page (a load
// would wait on a store to the other row, and a walk down a column would
// crowd a few cache sets).
inline long long padded_stride(long long count) {
    const long long ld = (count + 7) / 8 * 8;
    return ld % 64 == 0 ? ld + 8 : ld;
}

// Prints "ERROR! Not enough memory for <who> (<bytes> bytes)!" through the
// message unit and records Error::NoMemory as the calling thread's status.
void report_no_memory(const char* who, std::size_t bytes);

} // namespace linalg

#endif
