// The root and distributed forms of the solve, product, inverse, determinant
// and symmetric eigenproblem.
//
// Each call runs in three steps. (1) Every rank checks what it holds and
// allocates all its work arrays (the grid-sized ones kept from call to call);
// one MPI_Allreduce agrees on the outcome, and after a failure no rank goes
// further. (2) The input is spread from its own distribution to the compute
// grid (Cpdgemr2d or point-to-point messages; not at all when it is held in
// the grid's layout already)
// and ScaLAPACK computes there;
// a singular factor or a failed iteration is agreed on by a second reduction
// before anything is written. (3) The result goes back into the caller's
// distribution.
//
// Row-major arrays are read as the column-major transposes they are: the
// product needs no transpose (C^T = B^T A^T); the solve, inverse and
// determinant need A itself, which they get without a distributed transpose:
// the solve and the determinant send each grid process its part of the
// caller's rows, transposed (and rows scaled) while packing, received in
// place (spread_to_grid); the inverse spreads A^T to the transposed grid,
// whose local arrays are the transposes of the compute grid's, and each
// process transposes its own part (scaling rows on the way), and its result
// goes back the same way; the eigenproblem needs none on input (the
// row-major lower triangle is the column-major upper one) and a local one on
// output.
#include "linalg.h"
#include "linalg_diag.h"
#include "linalg_dist.h"
#include "distributed/dist_internal.h"
#include "base/fixed_nan.h"
#include "distributed/scalapack.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace LinearAlgebra {

using namespace linalg_dist;

namespace {

enum class Form { Root, Rows };

const int kI1 = 1;
const double kOne = 1.0;
const double kZero = 0.0;
// Pivot magnitude below which liblinalg calls a system singular.
const double kSingularPivot = 1e-12;

// Rows of a row-major n-row array that this rank holds in form f.
int held_rows(Form f, int n) {
    if (n <= 0) return 0;
    return f == Form::Root ? (g.rank == 0 ? n : 0) : rows_count(n, g.rank);
}
int first_row(Form f, int n) { return f == Form::Root ? 0 : rows_first(n, g.rank); }

// Descriptor of the column-major transpose (cols x rows) of a row-major
// rows x cols array held in form f.
void desc_source(int* d, Form f, int rows, int cols) {
    if (f == Form::Root)
        desc_root(d, cols, rows);
    else
        desc_rows(d, cols, rows);
}

// Descriptor of a vector of n values (an n x 1 column) held in form f.
void desc_vsource(int* d, Form f, int n) {
    if (f == Form::Root)
        desc_root(d, n, 1);
    else
        desc_vrows(d, n, 1);
}

int loc_rows(int m) { return g.in_grid() ? grid_local(m, g.myrow, g.nprow) : 0; }
int loc_cols(int n) { return g.in_grid() ? grid_local(n, g.mycol, g.npcol) : 0; }
std::size_t grid_elems(int m, int n) { return static_cast<std::size_t>(loc_rows(m)) * loc_cols(n); }

void redistribute(int m, int n, double* a, int* da, double* b, int* db) {
    Cpdgemr2d(m, n, a, 1, 1, da, b, 1, 1, db, g.ctx_row);
}

// Exponent e of the power of two 2^e that brings the absolute sum of a row
// into [0.5, 1); 0 when the sum already lies in [0.5, 1] or is zero or NaN.
// A sum that overflows with finite entries takes its exponent from the sum of
// the quartered entries.
double row_exponent(const double* row, int n) {
    double s = 0.0;
    for (int j = 0; j < n; ++j) s += std::fabs(row[j]);
    int e = 0;
    if (std::isinf(s)) {
        double q = 0.0;
        for (int j = 0; j < n; ++j) q += std::fabs(row[j]) * 0.25;
        if (!std::isfinite(q)) return 0.0;
        std::frexp(q, &e);
        return -(e + 2);
    }
    if (!(s > 0.0) || (s >= 0.5 && s <= 1.0)) return 0.0;
    std::frexp(s, &e);
    return -e;
}

// exps[0 .. n-1] on every rank: the row exponents of the row-major n x n
// matrix A held in form f. counts: 2 * size ints of work.
bool share_exponents(Form f, const double* A, int n, double* exps, int* counts) {
    const int held = held_rows(f, n), first = first_row(f, n);
    for (int i = 0; i < held; ++i)
        exps[first + i] = row_exponent(A + static_cast<std::size_t>(i) * n, n);
    if (f == Form::Root) return MPI_Bcast(exps, n, MPI_DOUBLE, 0, g.comm) == MPI_SUCCESS;
    for (int q = 0; q < g.size; ++q) {
        counts[q] = rows_count(n, q);
        counts[g.size + q] = rows_first(n, q);
    }
    return MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, exps, counts, counts + g.size, MPI_DOUBLE,
                          g.comm) == MPI_SUCCESS;
}

// x * 2^e, exact while the result is a normal number.
inline double times_pow2(double x, double f, int e) { return f != 0.0 ? x * f : std::ldexp(x, e); }
inline double pow2_factor(int e) { return (e > -1000 && e < 1000) ? std::ldexp(1.0, e) : 0.0; }

// Multiplies the local rows of a grid vector or matrix (loc_r x loc_c,
// leading dimension lld) by 2^exps[global row index].
void scale_grid_rows(double* a, int loc_r, int loc_c, int lld, const double* exps) {
    for (int l = 0; l < loc_r; ++l) {
        const int e = static_cast<int>(exps[grid_global(l, g.myrow, g.nprow, g.nb)]);
        if (e == 0) continue;
        const double f = pow2_factor(e);
        for (int j = 0; j < loc_c; ++j) {
            double& x = a[l + static_cast<std::size_t>(j) * lld];
            x = times_pow2(x, f, e);
        }
    }
}

// d (rows x cols, leading dimension ldd) = the transpose of s (cols x rows,
// leading dimension lds), row i of d multiplied by 2^exps[global(i)] when
// exps is given, global(i) being the global index of local index i along
// process coordinate p of np. Tiles keep both sides in cache.
void transpose_local(const double* s, int lds, double* d, int ldd, int rows, int cols, const double* exps, int p,
                     int np) {
    constexpr int kTile = 32;
    double f[kTile];
    int e[kTile];
    for (int i0 = 0; i0 < rows; i0 += kTile) {
        const int mi = std::min(kTile, rows - i0);
        bool any = false;
        for (int i = 0; i < mi; ++i) {
            e[i] = exps ? static_cast<int>(exps[grid_global(i0 + i, p, np, g.nb)]) : 0;
            f[i] = pow2_factor(e[i]);
            any = any || e[i] != 0;
        }
        for (int j0 = 0; j0 < cols; j0 += kTile) {
            const int mj = std::min(kTile, cols - j0);
            for (int j = j0; j < j0 + mj; ++j) {
                double* dc = d + static_cast<std::size_t>(j) * ldd + i0;
                const double* sr = s + j + static_cast<std::size_t>(i0) * lds;
                if (!any)
                    for (int i = 0; i < mi; ++i) dc[i] = sr[static_cast<std::size_t>(i) * lds];
                else
                    for (int i = 0; i < mi; ++i) {
                        const double x = sr[static_cast<std::size_t>(i) * lds];
                        dc[i] = e[i] != 0 ? times_pow2(x, f[i], e[i]) : x;
                    }
            }
        }
    }
}

// Straight from the caller's rows to the compute grid, the transpose done on
// the way: rank q holds rows [f, f + c) of the row-major n x n matrix A (all
// of them on rank 0 in the root form, none elsewhere), and grid process
// (pr, pc) needs column-major A's entries in its row and column blocks. Of
// q's rows, those in pr's row blocks are one run of local rows [lo, hi) on
// (pr, pc), so q sends, column by column of (pr, pc), hi - lo values per
// column, and they land directly in the receiver's local array (a vector
// type of stride lld). Rows are multiplied by 2^exps[row] on the way when
// exps is given.
struct Part {
    int lo = 0, hi = 0;  // local rows on the destination
    int cols = 0;        // local columns of the destination
    std::size_t size() const { return static_cast<std::size_t>(hi - lo) * cols; }
};

// What the rows [f, f + c) make on grid process (pr, pc) of an n x n matrix.
Part part_of(int f, int c, int pr, int pc, int n) {
    Part p;
    if (c <= 0) return p;
    p.lo = grid_local(f, pr, g.nprow);
    p.hi = grid_local(f + c, pr, g.nprow);
    p.cols = grid_local(n, pc, g.npcol);
    if (p.hi <= p.lo || p.cols <= 0) p = Part();
    return p;
}

// Doubles this rank sends to other processes in spread_to_grid.
std::size_t spread_send_size(Form form, int n) {
    const int held = held_rows(form, n), first = first_row(form, n);
    std::size_t total = 0;
    for (int pr = 0; pr < g.nprow; ++pr)
        for (int pc = 0; pc < g.npcol; ++pc)
            if (pr * g.npcol + pc != g.rank) total += part_of(first, held, pr, pc, n).size();
    return total;
}

// Writes part p of the rows [f, ...) of A, row-major with n columns, for grid
// process (pr, pc) into d (local row lo at d[0], leading dimension ldd), rows
// scaled by 2^exps[global row] when exps is given. Tiles keep both sides in
// cache.
void pack_part(const double* A, int n, int f, int pr, int pc, const Part& p, const double* exps, double* d, int ldd) {
    constexpr int kTile = 32;
    const double* row[kTile];
    double fac[kTile];
    int e[kTile];
    for (int i0 = p.lo; i0 < p.hi; i0 += kTile) {
        const int mi = std::min(kTile, p.hi - i0);
        bool any = false;
        for (int i = 0; i < mi; ++i) {
            const int gi = grid_global(i0 + i, pr, g.nprow, g.nb);
            row[i] = A + static_cast<std::size_t>(gi - f) * n;
            e[i] = exps ? static_cast<int>(exps[gi]) : 0;
            fac[i] = pow2_factor(e[i]);
            any = any || e[i] != 0;
        }
        for (int j0 = 0; j0 < p.cols; j0 += kTile) {
            const int mj = std::min(kTile, p.cols - j0);
            for (int j = j0; j < j0 + mj; ++j) {
                const int gj = grid_global(j, pc, g.npcol, g.nb);
                double* dc = d + static_cast<std::size_t>(j) * ldd + (i0 - p.lo);
                if (!any)
                    for (int i = 0; i < mi; ++i) dc[i] = row[i][gj];
                else
                    for (int i = 0; i < mi; ++i) {
                        const double x = row[i][gj];
                        dc[i] = e[i] != 0 ? times_pow2(x, fac[i], e[i]) : x;
                    }
            }
        }
    }
}

// A (row-major n x n, held in form `form`) onto the compute grid as
// column-major A in a (leading dimension lld), rows scaled by 2^exps when
// given; send: spread_send_size(form, n) doubles of work. False when an MPI
// call fails.
bool spread_to_grid(Form form, const double* A, int n, const double* exps, double* a, int lld, double* send) {
    const int tag = 24;
    std::vector<MPI_Request> req;
    std::vector<MPI_Datatype> types;
    bool ok = true;
    // From every other rank, the run of local rows its rows make here.
    if (g.in_grid())
        for (int q = 0; q < g.size && ok; ++q) {
            if (q == g.rank) continue;
            const int c = form == Form::Root ? (q == 0 ? n : 0) : rows_count(n, q);
            const int f = form == Form::Root ? 0 : rows_first(n, q);
            const Part p = part_of(f, c, g.myrow, g.mycol, n);
            if (p.size() == 0) continue;
            MPI_Datatype t;
            ok = MPI_Type_vector(p.cols, p.hi - p.lo, lld, MPI_DOUBLE, &t) == MPI_SUCCESS;
            if (!ok) break;
            ok = MPI_Type_commit(&t) == MPI_SUCCESS;
            types.push_back(t);
            req.emplace_back();
            ok = ok && MPI_Irecv(a + p.lo, 1, t, q, tag, g.comm, &req.back()) == MPI_SUCCESS;
        }
    // To every other grid process its part of this rank's rows, packed.
    const int held = held_rows(form, n), first = first_row(form, n);
    std::size_t at = 0;
    for (int pr = 0; pr < g.nprow && ok; ++pr)
        for (int pc = 0; pc < g.npcol && ok; ++pc) {
            const int dest = pr * g.npcol + pc;
            const Part p = part_of(first, held, pr, pc, n);
            if (dest == g.rank || p.size() == 0) continue;
            pack_part(A, n, first, pr, pc, p, exps, send + at, p.hi - p.lo);
            MPI_Datatype t;
            ok = MPI_Type_contiguous(p.hi - p.lo, MPI_DOUBLE, &t) == MPI_SUCCESS;
            if (!ok) break;
            ok = MPI_Type_commit(&t) == MPI_SUCCESS;
            types.push_back(t);
            req.emplace_back();
            ok = ok && MPI_Isend(send + at, p.cols, t, dest, tag, g.comm, &req.back()) == MPI_SUCCESS;
            at += p.size();
        }
    if (ok && !req.empty())
        ok = MPI_Waitall(static_cast<int>(req.size()), req.data(), MPI_STATUSES_IGNORE) == MPI_SUCCESS;
    for (MPI_Datatype& t : types) MPI_Type_free(&t);
    // This process's own part, straight into place.
    if (ok && g.in_grid()) {
        const Part p = part_of(first, held, g.myrow, g.mycol, n);
        if (p.size() > 0) pack_part(A, n, first, g.myrow, g.mycol, p, exps, a + p.lo, lld);
    }
    return ok;
}

// Local copy of an r x c column-major array between leading dimensions.
void copy_local(const double* s, int lds, double* d, int ldd, int r, int c) {
    if (s == d) return;
    for (int j = 0; j < c; ++j)
        std::memcpy(d + static_cast<std::size_t>(j) * ldd, s + static_cast<std::size_t>(j) * lds,
                    sizeof(double) * static_cast<std::size_t>(r));
}

// True when a row-major array of `rows` rows held in form f has, on every
// process, exactly the local layout its column-major transpose has on the
// compute grid (transposed = false) or on the transposed grid (true): then
// it is used where it is, without Cpdgemr2d. Root form: a 1 x 1 grid (rank
// 0's whole array). Distributed form: a grid of one process row across all
// ranks, rank q in process column q, each holding at most the one block
// its rows make.
bool held_as_grid(Form f, int rows, bool transposed) {
    const int pr = transposed ? g.npcol : g.nprow, pc = transposed ? g.nprow : g.npcol;
    if (f == Form::Root) return pr == 1 && pc == 1;
    return pr == 1 && pc == g.size && (g.size == 1 || rows_block(rows) == g.nb);
}

// Whether [p, p + n) and [q, q + m) (doubles) overlap.
bool overlap(const double* p, std::size_t n, const double* q, std::size_t m) {
    if (!p || !q || n == 0 || m == 0) return false;
    const auto a = reinterpret_cast<std::uintptr_t>(p), b = reinterpret_cast<std::uintptr_t>(q);
    return a < b + m * sizeof(double) && b < a + n * sizeof(double);
}

// Visits the diagonal elements U_kk this grid process holds.
template <class F> void for_local_diagonal(int n, int lld, F&& visit) {
    if (!g.in_grid()) return;
    const int nb = g.nb;
    for (int k = 0; k < n; ++k) {
        const int blk = k / nb;
        if (blk % g.nprow != g.myrow || blk % g.npcol != g.mycol) continue;
        const int il = (blk / g.nprow) * nb + k % nb, jl = (blk / g.npcol) * nb + k % nb;
        visit(k, static_cast<std::size_t>(il) + static_cast<std::size_t>(jl) * lld);
    }
}

int grid_singular(const double* a, int n, int lld) {
    int singular = 0;
    for_local_diagonal(n, lld, [&](int, std::size_t at) {
        if (std::fabs(a[at]) < kSingularPivot) singular = 1;
    });
    return singular;
}

bool check_up() {
    clear_status();
    return g.up ? true : not_initialized();
}

// Agreement on the outcome of a ScaLAPACK step, before anything is written:
// `singular` whether this process found a pivot below the threshold (or the
// routine's info > 0), `info` the routine's info (negative: it refused
// argument -info). True when every rank may go on; otherwise the message is
// printed once and false returned on every rank.
bool agree_step(int singular, int info, const char* who, const char* routine) {
    int v[2] = {singular || info > 0, info < 0 ? -info : 0};
    if (agree_flags(v, 2) != 0) {
        report_fault(kFaultMpi, who, 0);
        return false;
    }
    if (v[1] != 0) {
        reportf(kNotInitialized, "ERROR! DLA::%s: %s refused argument %d!\n", who, routine, v[1]);
        return false;
    }
    if (v[0] == 0) return true;
    report(kSingular, g.rank == 0, "ERROR! Singular system!");
    return false;
}

// ScaLAPACK and the PBLAS take sizes as int and size some of their own
// buffers (panels of nb columns along a local extent) in int bytes: true when
// an m x n matrix on the compute grid stays within that, for every process
// (every rank computes the same answer, from the largest local extent).
bool panel_fits(int m, int n) {
    const long long ext = std::max(grid_local(m, 0, g.nprow), grid_local(n, 0, g.npcol));
    return (ext + g.nb) * g.nb <= INT_MAX / static_cast<long long>(sizeof(double));
}

// Bytes of `elems` doubles, for the message of a refused work array.
std::size_t bytes_of(long long elems) {
    return elems > static_cast<long long>(SIZE_MAX / sizeof(double)) ? SIZE_MAX
                                                                    : static_cast<std::size_t>(elems) * sizeof(double);
}

void solve(Form form, double* A, double* B, double* X, int n, const char* who) {
    if (!check_up()) return;
    const int held = held_rows(form, n);
    int fault = kFaultNone;
    std::size_t failed = 0;
    if (held > 0 && (!A || !B || !X)) fault = kFaultNullArray;
    // Beyond what ScaLAPACK accepts: refused as memory, before allocating.
    if (n > 0 && fault == kFaultNone && !panel_fits(n, n)) {
        fault = kFaultMemory;
        failed = bytes_of(static_cast<long long>(loc_rows(n) + g.nb) * g.nb);
    }
    // A goes straight from the caller's rows to the compute grid, its rows
    // scaled on the way.
    Buffer exps, b;
    IntBuffer ipiv, counts;
    double *a = nullptr, *send = nullptr;
    if (n > 0 && fault == kFaultNone) {
        a = kept(kSlot0, grid_elems(n, n), &failed);
        const std::size_t sends = spread_send_size(form, n);
        if (sends > 0) send = kept(kSlot1, sends, &failed);
        exps.alloc(n, &failed);
        b.alloc(grid_elems(n, 1), &failed);
        ipiv.alloc(static_cast<std::size_t>(loc_rows(n)) + g.nb, &failed);
        counts.alloc(2 * static_cast<std::size_t>(g.size), &failed);
        if (failed) fault = kFaultMemory;
    }
    std::size_t bytes = 0;
    const int agreed = agree(fault, failed, &n, 1, &bytes);
    if (agreed != kFaultNone) return report_fault(agreed, who, bytes);
    if (n <= 0) return;
    if (!share_exponents(form, A, n, exps.p, counts.p)) return report_fault(kFaultMpi, who, 0);

    int dg[9], dbsrc[9], dbg[9];
    desc_grid(dg, n, n);
    desc_vsource(dbsrc, form, n);
    desc_grid(dbg, n, 1);
    if (!spread_to_grid(form, A, n, exps.p, a, dg[8], send)) return report_fault(kFaultMpi, who, 0);
    redistribute(n, 1, B, dbsrc, b.p, dbg);
    int singular = 0, info = 0;
    if (g.in_grid()) {
        // Rows of B scaled as A's.
        scale_grid_rows(b.p, loc_rows(n), loc_cols(1), dbg[8], exps.p);
        pdgetrf_(&n, &n, a, &kI1, &kI1, dg, ipiv.p, &info);
        singular = grid_singular(a, n, dg[8]);
    }
    if (!agree_step(singular, info, who, "pdgetrf")) return;
    if (g.in_grid()) pdgetrs_("N", &n, &kI1, a, &kI1, &kI1, dg, ipiv.p, b.p, &kI1, &kI1, dbg, &info, 1);
    if (!agree_step(0, info, who, "pdgetrs")) return;
    redistribute(n, 1, b.p, dbg, X, dbsrc);
}

void multiply(Form form, double* M1, int m, int k, double* M2, int n, double* X, const char* who) {
    if (!check_up()) return;
    const int held1 = held_rows(form, m), held2 = held_rows(form, k);
    int fault = kFaultNone;
    std::size_t failed = 0;
    if ((held1 > 0 && k > 0 && !M1) || (held2 > 0 && n > 0 && !M2) || (held1 > 0 && n > 0 && !X))
        fault = kFaultNullArray;
    // Operands already in the grid's layout are used where they are; so is
    // X when it does not overlap them.
    const bool a_in = held_as_grid(form, m, false), b_in = held_as_grid(form, k, false);
    const std::size_t size1 = static_cast<std::size_t>(held1) * k, size2 = static_cast<std::size_t>(held2) * n,
                      sizex = static_cast<std::size_t>(held1) * n;
    const bool c_in = a_in && !overlap(X, sizex, M1, size1) && !overlap(X, sizex, M2, size2);
    double *ag = M1, *bg = M2, *cg = X;
    const bool work = m > 0 && n > 0 && k > 0;
    if (work && fault == kFaultNone && !(panel_fits(k, m) && panel_fits(n, k) && panel_fits(n, m))) {
        fault = kFaultMemory;
        failed = bytes_of((static_cast<long long>(std::max({loc_rows(k), loc_rows(n), loc_cols(m), loc_cols(k)})) +
                           g.nb) * g.nb);
    }
    if (work && fault == kFaultNone) {
        if (!a_in) ag = kept(kSlot0, grid_elems(k, m), &failed);
        if (!b_in) bg = kept(kSlot1, grid_elems(n, k), &failed);
        if (!c_in) cg = kept(kSlot2, grid_elems(n, m), &failed);
        if (failed) fault = kFaultMemory;
    }
    std::size_t bytes = 0;
    const int sizes[3] = {m, k, n};
    const int agreed = agree(fault, failed, sizes, 3, &bytes);
    if (agreed != kFaultNone) return report_fault(agreed, who, bytes);
    if (m <= 0 || n <= 0) return;
    if (k <= 0) {  // empty inner dimension: the product is zero
        if (held1 > 0) std::memset(X, 0, sizeof(double) * static_cast<std::size_t>(held1) * n);
        return;
    }
    int da_src[9], db_src[9], dc_src[9], da[9], db[9], dc[9];
    desc_source(da_src, form, m, k);  // A^T: k x m
    desc_source(db_src, form, k, n);  // B^T: n x k
    desc_source(dc_src, form, m, n);  // C^T: n x m
    desc_grid(da, k, m);
    desc_grid(db, n, k);
    desc_grid(dc, n, m);
    if (!a_in) redistribute(k, m, M1, da_src, ag, da);
    if (!b_in) redistribute(n, k, M2, db_src, bg, db);
    double none = 0.0;  // for processes that hold no part of an operand
    if (g.in_grid())
        pdgemm_("N", "N", &n, &m, &k, &kOne, bg ? bg : &none, &kI1, &kI1, db, ag ? ag : &none, &kI1, &kI1, da, &kZero,
                cg ? cg : &none, &kI1, &kI1, dc, 1, 1);
    if (!a_in)
        redistribute(n, m, cg, dc, X, dc_src);
    else if (held1 > 0)
        copy_local(cg, dc[8], X, dc_src[8], n, held1);
}

void eigen(Form form, double* M, int n, double* eV, double* eM, const char* who) {
    if (!check_up()) return;
    const int held = held_rows(form, n), first = first_row(form, n);
    const bool wants_values = n > 0 && (form == Form::Rows || g.rank == 0);
    int fault = kFaultNone;
    std::size_t failed = 0;
    if ((held > 0 && (!M || !eM)) || (wants_values && !eV)) fault = kFaultNullArray;
    if (fault == kFaultNone)
        for (int i = 0; i < held && fault == kFaultNone; ++i) {
            const double* row = M + static_cast<std::size_t>(i) * n;
            for (int j = 0; j <= first + i; ++j)
                if (!std::isfinite(row[j])) {
                    fault = kFaultNonFinite;
                    break;
                }
        }
    // pdsyevd's work sizes from its documentation, plus what its call of
    // pdormtr needs beyond them when the block is large against the order.
    const int np = loc_rows(n), nq = loc_cols(n), nb = g.nb;
    const long long lwork = std::max(1 + 6LL * n + 2LL * np * nq, 3LL * n + std::max(nb * (np + 1LL), 3LL * nb)) +
                            2LL * n + std::max(nb * (nb - 1LL) / 2, (np + nq) * 1LL * nb) + 1LL * nb * nb;
    const long long liwork = 7LL * n + 8LL * g.npcol + 2;
    // The returned rows (rank 0 in the root form: the whole matrix) are
    // not kept: the eigenproblem's time is ScaLAPACK's.
    Buffer w, work, out;
    IntBuffer iwork;
    double *a = nullptr, *z = nullptr;
    // Work sizes are ints for pdsyevd: beyond that the call is refused as
    // memory, before allocating (every rank: the sizes are agreed on below).
    if (n > 0 && fault == kFaultNone && (lwork > INT_MAX || liwork > INT_MAX || !panel_fits(n, n))) {
        fault = kFaultMemory;
        failed = bytes_of(lwork);
    }
    if (n > 0 && fault == kFaultNone) {
        a = kept(kSlot0, grid_elems(n, n), &failed);
        z = kept(kSlot1, grid_elems(n, n), &failed);
        out.alloc(static_cast<std::size_t>(held) * n, &failed);
        w.alloc(n, &failed);
        if (g.in_grid()) {
            work.alloc(static_cast<std::size_t>(lwork), &failed);
            iwork.alloc(static_cast<std::size_t>(liwork), &failed);
        }
        if (failed) fault = kFaultMemory;
    }
    std::size_t bytes = 0;
    const int agreed = agree(fault, failed, &n, 1, &bytes);
    if (agreed != kFaultNone) return report_fault(agreed, who, bytes);
    if (n <= 0) return;

    int dsrc[9], dg[9], dout[9];
    desc_source(dsrc, form, n, n);
    desc_grid(dg, n, n);
    if (form == Form::Root)
        desc_root(dout, n, n);
    else
        desc_vrows(dout, n, n);
    redistribute(n, n, M, dsrc, a, dg);
    int info = 0;
    if (g.in_grid()) {
        const int lw = static_cast<int>(lwork), liw = static_cast<int>(liwork);
        pdsyevd_("V", "U", &n, a, &kI1, &kI1, dg, w.p, z, &kI1, &kI1, dg, work.p, &lw, iwork.p, &liw, &info,
                 1, 1);
    }
    int v[2] = {info > 0 ? info : 0, info < 0 ? -info : 0};
    if (agree_flags(v, 2) != 0) return report_fault(kFaultMpi, who, 0);
    if (v[1] != 0) return reportf(kNotInitialized, "ERROR! DLA::%s: pdsyevd refused argument %d!\n", who, v[1]);
    if (v[0] != 0)
        return reportf(kNotConverged, "ERROR! DLA::%s: pdsyevd did not converge (info %d)!\n", who, v[0]);
    // Eigenvectors come back as rows of Z (column-major, leading dimension
    // `held`); eM's column j is Z's column n-1-j, the eigenvalues descending.
    redistribute(n, n, z, dg, out.p, dout);
    if (form == Form::Rows && MPI_Bcast(w.p, n, MPI_DOUBLE, 0, g.comm) != MPI_SUCCESS)
        return report_fault(kFaultMpi, who, 0);
    if (wants_values)
        for (int j = 0; j < n; ++j) eV[j] = w.p[n - 1 - j];
    for (int i = 0; i < held; ++i) {
        double* row = eM + static_cast<std::size_t>(i) * n;
        for (int j = 0; j < n; ++j) row[j] = out.p[i + static_cast<std::size_t>(n - 1 - j) * held];
    }
}

} // namespace

void DLA::SolveLSE(double* A, double* B, double* X, int nDim) { solve(Form::Root, A, B, X, nDim, "SolveLSE"); }

void DLA::SolveLSE_R(double* A, double* B, double* X, int nDim) { solve(Form::Rows, A, B, X, nDim, "SolveLSE_R"); }

void DLA::MultiplyMM(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) {
    multiply(Form::Root, M1, nRows1, nCols, M2, nCols2, X, "MultiplyMM");
}

void DLA::MultiplyMM_R(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) {
    multiply(Form::Rows, M1, nRows1, nCols, M2, nCols2, X, "MultiplyMM_R");
}

void DLA::EigenSymmSystemMsqD(double* M, int nDim, double* eV, double* eM) {
    eigen(Form::Root, M, nDim, eV, eM, "EigenSymmSystemMsqD");
}

void DLA::EigenSymmSystemMsqD_R(double* M, int nDim, double* eV, double* eM) {
    eigen(Form::Rows, M, nDim, eV, eM, "EigenSymmSystemMsqD_R");
}

void DLA::InverseMsq(double* M, double* iM, int nDim) {
    const char* who = "InverseMsq";
    if (!check_up()) return;
    const int n = nDim;
    int fault = kFaultNone;
    std::size_t failed = 0;
    if (g.rank == 0 && n > 0 && (!M || !iM)) fault = kFaultNullArray;
    // pdgetri's work sizes: its documented real work with a block to spare;
    // its integer work check asks for more than documented on grids with
    // more process rows than columns, so that bound is generous.
    const int np = loc_rows(n), nq = loc_cols(n);
    const long long lwork64 = (static_cast<long long>(np) + g.nb) * g.nb,
                    liwork64 = nq + 2LL * np + 4LL * g.nb + 16;
    // Both are ints for pdgetri: beyond that (or beyond the panels the PBLAS
    // size in int bytes) the call is refused as memory, before allocating.
    if (n > 0 && fault == kFaultNone && (lwork64 > INT_MAX || liwork64 > INT_MAX || !panel_fits(n, n))) {
        fault = kFaultMemory;
        failed = bytes_of(lwork64);
    }
    const int lwork = static_cast<int>(std::min<long long>(lwork64, INT_MAX)),
              liwork = static_cast<int>(std::min<long long>(liwork64, INT_MAX));
    // As in the solve, M^T goes to the transposed grid and a local transpose
    // makes D M on the compute grid; the inverse comes back the same way.
    const bool in_place = held_as_grid(Form::Root, n, true);
    Buffer exps, work;
    IntBuffer ipiv, iwork;
    double *a = nullptr, *at = nullptr;
    if (n > 0 && fault == kFaultNone) {
        a = kept(kSlot0, grid_elems(n, n), &failed);
        if (!in_place) at = kept(kSlot1, grid_elems(n, n), &failed);
        exps.alloc(n, &failed);
        work.alloc(static_cast<std::size_t>(lwork), &failed);
        ipiv.alloc(static_cast<std::size_t>(np) + g.nb, &failed);
        iwork.alloc(static_cast<std::size_t>(liwork), &failed);
        if (failed) fault = kFaultMemory;
    }
    std::size_t bytes = 0;
    const int agreed = agree(fault, failed, &nDim, 1, &bytes);
    if (agreed != kFaultNone) return report_fault(agreed, who, bytes);
    if (n <= 0) return;
    if (!share_exponents(Form::Root, M, n, exps.p, nullptr)) return report_fault(kFaultMpi, who, 0);
    int dsrc[9], dt[9], dg[9];
    desc_source(dsrc, Form::Root, n, n);
    desc_tgrid(dt, n, n);
    desc_grid(dg, n, n);
    if (!in_place) redistribute(n, n, M, dsrc, at, dt);
    int singular = 0, info = 0;
    if (g.in_grid()) {
        transpose_local(in_place ? M : at, in_place ? dsrc[8] : dt[8], a, dg[8], np, nq, exps.p, g.myrow,
                        g.nprow);  // D M
        pdgetrf_(&n, &n, a, &kI1, &kI1, dg, ipiv.p, &info);
        singular = grid_singular(a, n, dg[8]);
    }
    if (!agree_step(singular, info, who, "pdgetrf")) return;
    if (g.in_grid()) pdgetri_(&n, a, &kI1, &kI1, dg, ipiv.p, work.p, &lwork, iwork.p, &liwork, &info);
    if (!agree_step(0, info, who, "pdgetri")) return;
    if (g.in_grid()) {
        // inv(M) = inv(D M) D: its columns scaled, written transposed.
        transpose_local(a, dg[8], in_place ? iM : at, in_place ? dsrc[8] : dt[8], nq, np, exps.p, g.mycol,
                        g.npcol);
    }
    if (!in_place) redistribute(n, n, at, dt, iM, dsrc);
}

double DLA::DeterminantMsq(double* M, int nDim) {
    const char* who = "DeterminantMsq";
    const double nan = linalg::kFixedNaN;
    if (!check_up()) return nan;
    const int n = nDim;
    int fault = kFaultNone;
    std::size_t failed = 0;
    if (g.rank == 0 && n > 0 && !M) fault = kFaultNullArray;
    if (n > 3 && fault == kFaultNone && !panel_fits(n, n)) {
        fault = kFaultMemory;
        failed = bytes_of((static_cast<long long>(loc_rows(n)) + g.nb) * g.nb);
    }
    Buffer diag;
    IntBuffer ipiv;
    double *a = nullptr, *send = nullptr;
    if (n > 3 && fault == kFaultNone) {
        a = kept(kSlot0, grid_elems(n, n), &failed);
        const std::size_t sends = spread_send_size(Form::Root, n);
        if (sends > 0) send = kept(kSlot1, sends, &failed);
        diag.alloc(static_cast<std::size_t>(n) + 1, &failed);
        ipiv.alloc(static_cast<std::size_t>(loc_rows(n)) + g.nb, &failed);
        if (failed) fault = kFaultMemory;
    }
    std::size_t bytes = 0;
    const int agreed = agree(fault, failed, &nDim, 1, &bytes);
    if (agreed != kFaultNone) {
        report_fault(agreed, who, bytes);
        return nan;
    }
    if (n <= 0) return 1.0;
    if (n <= 3) {  // liblinalg's closed formulas, on rank 0 (which speaks)
        double v[2] = {0.0, 0.0};  // the value and rank 0's LastError()
        if (g.rank == 0) {
            v[0] = LA::DeterminantMsq(M, n);
            v[1] = static_cast<double>(static_cast<int>(Diagnostics::LastError()));
        }
        if (MPI_Bcast(v, 2, MPI_DOUBLE, 0, g.comm) != MPI_SUCCESS) {
            report_fault(kFaultMpi, who, 0);
            return nan;
        }
        // The other ranks take rank 0's outcome, silently.
        if (g.rank != 0) report(static_cast<int>(v[1]), false, nullptr);
        return v[0];
    }
    int dg[9];
    desc_grid(dg, n, n);
    if (!spread_to_grid(Form::Root, M, n, nullptr, a, dg[8], send)) {
        report_fault(kFaultMpi, who, 0);
        return nan;
    }
    // diag[0 .. n-1]: U's diagonal, diag[n]: the number of row interchanges;
    // each entry comes from one process, the others add zeros.
    for (int k = 0; k <= n; ++k) diag.p[k] = 0.0;
    int info = 0;
    if (g.in_grid()) {
        pdgetrf_(&n, &n, a, &kI1, &kI1, dg, ipiv.p, &info);
        for_local_diagonal(n, dg[8], [&](int k, std::size_t at_k) { diag.p[k] = a[at_k]; });
        if (g.mycol == 0)
            for (int l = 0, nl = loc_rows(n); l < nl; ++l)
                if (ipiv.p[l] != grid_global(l, g.myrow, g.nprow, g.nb) + 1) diag.p[n] += 1.0;
    }
    // An exactly zero pivot (info > 0) is found on the diagonal below.
    if (!agree_step(0, info < 0 ? info : 0, who, "pdgetrf")) return nan;
    if (MPI_Allreduce(MPI_IN_PLACE, diag.p, n + 1, MPI_DOUBLE, MPI_SUM, g.comm) != MPI_SUCCESS) {
        report_fault(kFaultMpi, who, 0);
        return nan;
    }
    double det = std::fmod(diag.p[n], 2.0) != 0.0 ? -1.0 : 1.0;
    for (int k = 0; k < n; ++k) {
        if (std::fabs(diag.p[k]) < kSingularPivot) {
            report(kSingular, g.rank == 0, "ERROR! Singular system!");
            return 0.0;
        }
        det *= diag.p[k];
    }
    return det;
}

} // namespace LinearAlgebra
