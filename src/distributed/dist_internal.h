// Internals shared by the companion library's sources: the process grid, the
// one message function, the agreement step and the array distributions.
//
// Distributions, all in ScaLAPACK's column-major terms. A row-major r x c
// array is the column-major c x r array of its transpose, so:
//   root  : the whole array on rank 0 (a 1 x 1 grid), leading dimension c;
//   rows  : rank q holds rows RowsFirst(r, q) .. + RowsCount(r, q) of the
//           row-major array, i.e. a block of columns of the transpose on a
//           1 x p grid with column block ceil(r / p);
//   vrows : the same for a vector of r values, as an r x 1 column on a p x 1
//           grid with row block ceil(r / p);
//   grid  : the compute grid, nb x nb blocks, cyclic over nprow x npcol;
//   tgrid : the transposed grid, npcol x nprow, whose process (c, r) is the
//           compute grid's process (r, c): a matrix's transpose held there
//           is, on every process, the transpose of the local array the
//           matrix has on the compute grid, so a local transpose turns one
//           into the other without communication.
#ifndef LINALG_DIST_DIST_INTERNAL_H
#define LINALG_DIST_DIST_INTERNAL_H

#include "linalg_diag.h"
#include "linalg_dist.h"
#include <cstddef>

namespace linalg_dist {

// Failure codes: LinearAlgebra::Error's values, as the ints the reports carry.
enum ErrorCode : int {
    kNone = static_cast<int>(LinearAlgebra::Error::None),
    kSingular = static_cast<int>(LinearAlgebra::Error::Singular),
    kNoMemory = static_cast<int>(LinearAlgebra::Error::NoMemory),
    kNotConverged = static_cast<int>(LinearAlgebra::Error::NotConverged),
    kNonFinite = static_cast<int>(LinearAlgebra::Error::NonFinite),
    kNotInitialized = static_cast<int>(LinearAlgebra::Error::NotInitialized),
    kIo = static_cast<int>(LinearAlgebra::Error::Io),
};

// Problems found before any ScaLAPACK call, in rising precedence: when ranks
// find different ones, the highest is reported.
enum Fault : int {
    kFaultNone = 0,
    kFaultMemory,
    kFaultNonFinite,
    kFaultNullArray,
    kFaultSizes,
    kFaultMpi,
};

// The largest block Init_MPI accepts. ScaLAPACK and the PBLAS take every
// size as an int and size some of their own buffers (blocks and panels of nb
// columns) in int bytes: at 4096 one nb x nb block is 128 MiB, and each call
// still checks its own work sizes (panel_fits and the work-array bounds in
// dist_ops.cpp).
constexpr int kMaxBlock = 4096;

struct Grid {
    bool up = false;
    MPI_Comm comm = MPI_COMM_NULL;
    int rank = 0, size = 1;
    int nprow = 0, npcol = 0, nb = 0;
    int handle = -1;     // BLACS system handle of comm
    int ctx = -1;        // compute grid (ranks 0 .. nprow*npcol-1), -1 outside it
    int ctx_root = -1;   // 1 x 1 on rank 0
    int ctx_row = -1;    // 1 x size, every rank: the "rows" distribution and the
                         // context of every redistribution
    int ctx_col = -1;    // size x 1, every rank: the "vrows" distribution
    int ctx_t = -1;      // the transposed grid (npcol x nprow), -1 outside it
    int myrow = -1, mycol = -1;
    bool in_grid() const { return ctx >= 0; }
};
extern Grid g;

// The one place every message goes through: liblinalg's message path
// (Diagnostics::Report). Every process of a failed call calls it with the
// failure code `error`, which becomes the calling thread's LastError(); the
// one that speaks (rank 0 of the library's communicator) hands over `text`.
void report(int error, bool speak, const char* text);
// LastError() = None, on entry to every function that can fail.
void clear_status();
// report() for rank 0 of the library's communicator, with a printf format.
void reportf(int error, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The message for a call before Init_MPI; always false.
bool not_initialized();

// One MPI_Allreduce over the library's communicator: the highest fault of any
// rank (kFaultSizes when one of `sizes` differs between ranks) and the largest
// byte count any rank failed to allocate.
int agree(int fault, std::size_t bytes, const int* sizes, int nsizes, std::size_t* bytes_out);
// Prints the message for an agreed fault of function `who`.
void report_fault(int fault, const char* who, std::size_t bytes);
// One MPI_Allreduce (MPI_MAX) of one flag; -1 when the reduction fails.
int agree_flag(int flag);
// MPI_MAX of `count` ints in place over the library's communicator; 0, or -1
// when the reduction fails.
int agree_flags(int* v, int count);

// Row block of the "rows" distribution.
int rows_block(int n);
int rows_count(int n, int rank);
int rows_first(int n, int rank);

// Local extent of an n-long dimension on the compute grid (process row or
// column coordinate p of np), and the global index of local index l.
int grid_local(int n, int p, int np);
inline int grid_global(int l, int p, int np, int nb) { return ((l / nb) * np + p) * nb + l % nb; }

// Descriptors of an m x n column-major matrix: on the compute grid, whole on
// rank 0, in column blocks on the 1 x p grid ("rows"), in row blocks on the
// p x 1 grid ("vrows", also for m x n matrices).
void set_desc(int* d, int ctx, int m, int n, int mb, int nb, int lld);
void desc_grid(int* d, int m, int n);
void desc_root(int* d, int m, int n);
void desc_rows(int* d, int m, int n);
void desc_vrows(int* d, int m, int n);
// m x n on the transposed grid (lld: this process's share of the m rows,
// distributed over npcol process rows).
void desc_tgrid(int* d, int m, int n);

// Grid-sized work arrays kept from one call to the next, so that repeated
// calls neither fault in nor clear fresh pages. Slot s holds at least n
// doubles after kept(s, n, ...); a request beyond its size frees the old
// block before allocating the new one, and when that fails, the slots above
// s are released and the allocation tried once more (a call takes its slots
// in rising order, so those are not in use). The contents are whatever the
// last call left. release_kept() (Exit_MPI) frees them all.
enum Slot : int { kSlot0, kSlot1, kSlot2, kSlots };
double* kept(int slot, std::size_t n, std::size_t* failed);
void release_kept();

// Heap block that records the size of a failed allocation.
struct Buffer {
    double* p = nullptr;
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();
    // Allocates n doubles (at least one); false and *failed += bytes when it
    // cannot.
    bool alloc(std::size_t n, std::size_t* failed);
};
struct IntBuffer {
    int* p = nullptr;
    IntBuffer() = default;
    IntBuffer(const IntBuffer&) = delete;
    IntBuffer& operator=(const IntBuffer&) = delete;
    ~IntBuffer();
    bool alloc(std::size_t n, std::size_t* failed);
};

} // namespace linalg_dist

#endif
