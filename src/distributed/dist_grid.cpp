// The process grid (Init_MPI, Exit_MPI), the row blocks of the distributed
// form, the message function and the agreement step.
#include "linalg_diag.h"
#include "linalg_dist.h"
#include "distributed/dist_internal.h"
#include "distributed/scalapack.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace linalg_dist {

Grid g;

void report(int error, bool speak, const char* text) {
    LinearAlgebra::Diagnostics::Report(static_cast<LinearAlgebra::Error>(error), speak ? text : nullptr);
}

void clear_status() { LinearAlgebra::Diagnostics::Report(LinearAlgebra::Error::None, nullptr); }

void reportf(int error, const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    report(error, g.rank == 0, text);
}

bool not_initialized() {
    // Without the library's communicator only the world rank tells which
    // process speaks; before MPI_Init (or after MPI_Finalize) every process does.
    int inited = 0, finalized = 0, rank = 0;
    MPI_Initialized(&inited);
    MPI_Finalized(&finalized);
    if (inited && !finalized) MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    report(kNotInitialized, rank == 0, "\nERROR! MPI not initialized! Use DLA::Init_MPI( comm, nprow, npcol, nb )!\n");
    return false;
}

int agree(int fault, std::size_t bytes, const int* sizes, int nsizes, std::size_t* bytes_out) {
    long long v[2 + 2 * 4];
    v[0] = fault;
    v[1] = bytes > static_cast<std::size_t>(LLONG_MAX) ? LLONG_MAX : static_cast<long long>(bytes);
    for (int i = 0; i < nsizes; ++i) {
        v[2 + 2 * i] = sizes[i];
        v[3 + 2 * i] = -static_cast<long long>(sizes[i]);
    }
    if (MPI_Allreduce(MPI_IN_PLACE, v, 2 + 2 * nsizes, MPI_LONG_LONG, MPI_MAX, g.comm) != MPI_SUCCESS)
        return kFaultMpi;
    int agreed = static_cast<int>(v[0]);
    for (int i = 0; i < nsizes; ++i)
        if (v[2 + 2 * i] != -v[3 + 2 * i]) agreed = std::max(agreed, static_cast<int>(kFaultSizes));
    *bytes_out = static_cast<std::size_t>(v[1]);
    return agreed;
}

int agree_flags(int* v, int count) {
    return MPI_Allreduce(MPI_IN_PLACE, v, count, MPI_INT, MPI_MAX, g.comm) == MPI_SUCCESS ? 0 : -1;
}

int agree_flag(int flag) {
    if (MPI_Allreduce(MPI_IN_PLACE, &flag, 1, MPI_INT, MPI_MAX, g.comm) != MPI_SUCCESS) return -1;
    return flag;
}

void report_fault(int fault, const char* who, std::size_t bytes) {
    switch (fault) {
    case kFaultMemory:
        reportf(kNoMemory, "ERROR! Not enough memory for the DLA::%s work arrays (%zu bytes)!\n", who, bytes);
        break;
    case kFaultNonFinite:
        reportf(kNonFinite, "ERROR! DLA::%s: NaN or infinity in the matrix!\n", who);
        break;
    case kFaultNullArray:
        // The error codes have no "invalid argument"; a call that cannot run
        // on the arrays given is reported as not initialised for them.
        reportf(kNotInitialized, "ERROR! DLA::%s: null array on a rank that holds data!\n", who);
        break;
    case kFaultSizes:
        reportf(kNotInitialized, "ERROR! DLA::%s: sizes differ between ranks!\n", who);
        break;
    default:
        reportf(kIo, "ERROR! DLA::%s: MPI error!\n", who);
        break;
    }
}

int rows_block(int n) { return n <= 0 ? 1 : n / g.size + (n % g.size != 0); }

int rows_first(int n, int rank) {
    if (!g.up || n <= 0 || rank < 0 || rank >= g.size) return 0;
    return static_cast<int>(std::min<long long>(static_cast<long long>(rank) * rows_block(n), n));
}

int rows_count(int n, int rank) {
    if (!g.up || n <= 0 || rank < 0 || rank >= g.size) return 0;
    return std::min(rows_block(n), n - rows_first(n, rank));
}

int grid_local(int n, int p, int np) {
    if (p < 0 || n <= 0) return 0;
    const int zero = 0;
    return numroc_(&n, &g.nb, &p, &zero, &np);
}

void set_desc(int* d, int ctx, int m, int n, int mb, int nb, int lld) {
    d[0] = 1;
    d[1] = ctx;
    d[2] = m;
    d[3] = n;
    d[4] = std::max(1, mb);
    d[5] = std::max(1, nb);
    d[6] = 0;
    d[7] = 0;
    d[8] = std::max(1, lld);
}

void desc_grid(int* d, int m, int n) {
    set_desc(d, g.ctx, m, n, g.nb, g.nb, grid_local(m, g.myrow, g.nprow));
}

void desc_root(int* d, int m, int n) { set_desc(d, g.rank == 0 ? g.ctx_root : -1, m, n, m, n, m); }

void desc_rows(int* d, int m, int n) { set_desc(d, g.ctx_row, m, n, m, rows_block(n), m); }

void desc_vrows(int* d, int m, int n) { set_desc(d, g.ctx_col, m, n, rows_block(m), n, rows_count(m, g.rank)); }

void desc_tgrid(int* d, int m, int n) {
    set_desc(d, g.ctx_t, m, n, g.nb, g.nb, grid_local(m, g.mycol, g.npcol));
}

namespace {
struct Kept {
    double* p = nullptr;
    std::size_t size = 0;  // doubles
};
Kept kept_[kSlots];

void drop(Kept& k) {
#if defined(__SANITIZE_ADDRESS__)
    if (k.p) ASAN_UNPOISON_MEMORY_REGION(k.p, k.size * sizeof(double));
#endif
    std::free(k.p);
    k = Kept();
}
} // namespace

double* kept(int slot, std::size_t n, std::size_t* failed) {
    Kept& k = kept_[slot];
    const std::size_t count = std::max<std::size_t>(n, 1);
    if (count > k.size) {
        drop(k);
        if (count > SIZE_MAX / sizeof(double)) {
            *failed += SIZE_MAX;
            return nullptr;
        }
        k.p = static_cast<double*>(std::malloc(count * sizeof(double)));
        if (!k.p) {
            for (int s = slot + 1; s < kSlots; ++s) drop(kept_[s]);
            k.p = static_cast<double*>(std::malloc(count * sizeof(double)));
        }
        if (!k.p) {
            *failed += count * sizeof(double);
            return nullptr;
        }
        k.size = count;
    }
#if defined(__SANITIZE_ADDRESS__)
    // Beyond what this call asked for stays out of bounds for it.
    ASAN_UNPOISON_MEMORY_REGION(k.p, count * sizeof(double));
    ASAN_POISON_MEMORY_REGION(k.p + count, (k.size - count) * sizeof(double));
#endif
    return k.p;
}

void release_kept() {
    for (Kept& k : kept_) drop(k);
}

Buffer::~Buffer() { std::free(p); }

bool Buffer::alloc(std::size_t n, std::size_t* failed) {
    const std::size_t count = std::max<std::size_t>(n, 1);
    if (count <= SIZE_MAX / sizeof(double)) p = static_cast<double*>(std::malloc(count * sizeof(double)));
    if (p) return true;
    *failed += count <= SIZE_MAX / sizeof(double) ? count * sizeof(double) : SIZE_MAX;
    return false;
}

IntBuffer::~IntBuffer() { std::free(p); }

bool IntBuffer::alloc(std::size_t n, std::size_t* failed) {
    const std::size_t count = std::max<std::size_t>(n, 1);
    if (count <= SIZE_MAX / sizeof(int)) p = static_cast<int*>(std::malloc(count * sizeof(int)));
    if (p) return true;
    *failed += count <= SIZE_MAX / sizeof(int) ? count * sizeof(int) : SIZE_MAX;
    return false;
}

} // namespace linalg_dist

namespace LinearAlgebra {

using namespace linalg_dist;

// Near-square grid from the rank count alone: the largest divisor of p not
// above sqrt(p) rows.
static void square_grid(int p, int* nprow, int* npcol) {
    int r = 1;
    for (int d = 1; static_cast<long long>(d) * d <= p; ++d)
        if (p % d == 0) r = d;
    *nprow = r;
    *npcol = p / r;
}

int DLA::Init_MPI(MPI_Comm comm, int nprow, int npcol, int nb) {
    clear_status();
    int inited = 0, finalized = 0;
    MPI_Initialized(&inited);
    MPI_Finalized(&finalized);
    if (!inited || finalized) {
        if (g.up && finalized) {  // nothing of MPI's can be freed any more
            release_kept();
            g = Grid();
        }
        if (g.up) Exit_MPI();
        return not_initialized() ? 0 : -1;
    }
    // Everything is checked on a duplicate first: a call that fails leaves
    // the grid of an earlier call as it was.
    if (comm == MPI_COMM_NULL) return not_initialized() ? 0 : -1;
    MPI_Comm dup = MPI_COMM_NULL;
    if (MPI_Comm_dup(comm, &dup) != MPI_SUCCESS) {
        report(kIo, true, "ERROR! DLA::Init_MPI: MPI error!\n");
        return -1;
    }
    MPI_Comm_set_errhandler(dup, MPI_ERRORS_RETURN);
    int rank = 0, size = 1;
    MPI_Comm_rank(dup, &rank);
    MPI_Comm_size(dup, &size);
    if (nprow == 0 && npcol == 0) square_grid(size, &nprow, &npcol);
    if (nb == 0) nb = 64;
    const int bad = nprow < 1 || npcol < 1 || nb < 1 || nb > kMaxBlock ||
                    static_cast<long long>(nprow) * npcol > size;
    int v[8] = {bad, nprow, -nprow, npcol, -npcol, nb, -nb, 0};
    const int rc = MPI_Allreduce(MPI_IN_PLACE, v, 7, MPI_INT, MPI_MAX, dup);
    const bool differ = v[1] != -v[2] || v[3] != -v[4] || v[5] != -v[6];
    if (rc != MPI_SUCCESS || v[0] || differ) {
        char text[160];
        if (rc != MPI_SUCCESS)
            std::snprintf(text, sizeof text, "ERROR! DLA::Init_MPI: MPI error!\n");
        else if (differ)
            std::snprintf(text, sizeof text, "ERROR! DLA::Init_MPI: grid arguments differ between ranks!\n");
        else if (nb > kMaxBlock)
            std::snprintf(text, sizeof text, "ERROR! DLA::Init_MPI: block %d above the largest, %d!\n", nb, kMaxBlock);
        else
            std::snprintf(text, sizeof text, "ERROR! DLA::Init_MPI: grid %d x %d with block %d does not fit %d ranks!\n",
                          nprow, npcol, nb, size);
        report(rc != MPI_SUCCESS ? kIo : kNotInitialized, rank == 0, text);
        MPI_Comm_free(&dup);
        return -1;
    }
    if (g.up) Exit_MPI();
    g.comm = dup;
    g.rank = rank;
    g.size = size;
    g.nprow = nprow;
    g.npcol = npcol;
    g.nb = nb;
    g.handle = Csys2blacs_handle(dup);
    // Every grid is made by every process of the communicator, in the same
    // order; processes outside a grid get context -1.
    g.ctx = g.handle;
    Cblacs_gridinit(&g.ctx, "Row-major", nprow, npcol);
    int root_map[1] = {0};
    g.ctx_root = g.handle;
    Cblacs_gridmap(&g.ctx_root, root_map, 1, 1, 1);
    g.ctx_row = g.handle;
    Cblacs_gridinit(&g.ctx_row, "Row-major", 1, size);
    g.ctx_col = g.handle;
    Cblacs_gridinit(&g.ctx_col, "Row-major", size, 1);
    // The transposed grid: its process (c, r), at c + r * npcol in the
    // column-major map, is the compute grid's (r, c), rank r * npcol + c.
    std::vector<int> tmap(static_cast<std::size_t>(nprow) * npcol);
    for (std::size_t k = 0; k < tmap.size(); ++k) tmap[k] = static_cast<int>(k);
    g.ctx_t = g.handle;
    Cblacs_gridmap(&g.ctx_t, tmap.data(), npcol, npcol, nprow);
    // Sums and maxima over processes (inside pdsyevd, for one) in a fixed
    // order, the same bits on every process: without this the reduction
    // order follows message arrival and results change from run to run.
    for (int c : {g.ctx, g.ctx_root, g.ctx_row, g.ctx_col, g.ctx_t}) {
        int on = 1;
        if (c >= 0) {
            Cblacs_set(c, 15, &on);
            Cblacs_set(c, 16, &on);
        }
    }
    int pr = 0, pc = 0;
    g.myrow = g.mycol = -1;
    if (g.ctx >= 0) Cblacs_gridinfo(g.ctx, &pr, &pc, &g.myrow, &g.mycol);
    if (g.myrow < 0 || g.mycol < 0) {
        g.ctx = -1;
        g.ctx_t = -1;
        g.myrow = g.mycol = -1;
    }
    if (rank != 0) g.ctx_root = -1;
    g.up = true;
    return 0;
}

int DLA::Exit_MPI() {
    if (!g.up) return 0;
    release_kept();
    for (int* c : {&g.ctx, &g.ctx_root, &g.ctx_row, &g.ctx_col, &g.ctx_t}) {
        if (*c >= 0) Cblacs_gridexit(*c);
        *c = -1;
    }
    Cfree_blacs_system_handle(g.handle);
    MPI_Comm_free(&g.comm);
    g = Grid();
    return 0;
}

int DLA::RowsCount(int nRows, int rank) { return rows_count(nRows, rank); }

int DLA::RowsFirst(int nRows, int rank) { return rows_first(nRows, rank); }

} // namespace LinearAlgebra
