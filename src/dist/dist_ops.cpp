// The root and distributed forms of the solve, product, inverse, determinant
// and symmetric eigenproblem.
//
// Each call runs in three steps. (1) Every rank checks what it holds and
// allocates all its work arrays; one MPI_Allreduce agrees on the outcome, and
// after a failure no rank goes further. (2) The input is spread from its own
// distribution to the compute grid (Cpdgemr2d) and ScaLAPACK computes there;
// a singular factor or a failed iteration is agreed on by a second reduction
// before anything is written. (3) The result goes back into the caller's
// distribution.
//
// Row-major arrays are read as the column-major transposes they are: the
// product needs no transpose (C^T = B^T A^T), the solve one (pdtran of A^T),
// the eigenproblem none on input (the row-major lower triangle is the
// column-major upper one) and a local one on output.
#include "linalg.h"
#include "linalg_dist.h"
#include "dist/dist_internal.h"
#include "dist/scalapack.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

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

// Multiplies the local rows (by = 0) or columns (by = 1) of a grid matrix
// (loc_r x loc_c, leading dimension lld) by 2^exps[global index]. The local
// matrix is column-major, so rows are scaled a chunk of rows at a time, each
// column's piece of the chunk in one contiguous pass.
void scale_grid(double* a, int loc_r, int loc_c, int lld, const double* exps, int by) {
    if (by == 0) {
        constexpr int kChunk = 256;
        double f[kChunk];
        int e[kChunk];
        for (int l0 = 0; l0 < loc_r; l0 += kChunk) {
            const int m = std::min(kChunk, loc_r - l0);
            bool any = false;
            for (int i = 0; i < m; ++i) {
                e[i] = static_cast<int>(exps[grid_global(l0 + i, g.myrow, g.nprow, g.nb)]);
                f[i] = pow2_factor(e[i]);
                any = any || e[i] != 0;
            }
            if (!any) continue;
            for (int j = 0; j < loc_c; ++j) {
                double* x = a + static_cast<std::size_t>(j) * lld + l0;
                for (int i = 0; i < m; ++i)
                    if (e[i] != 0) x[i] = times_pow2(x[i], f[i], e[i]);
            }
        }
        return;
    }
    for (int l = 0; l < loc_c; ++l) {
        const int e = static_cast<int>(exps[grid_global(l, g.mycol, g.npcol, g.nb)]);
        if (e == 0) continue;
        const double f = pow2_factor(e);
        double* col = a + static_cast<std::size_t>(l) * lld;
        for (int i = 0; i < loc_r; ++i) col[i] = times_pow2(col[i], f, e);
    }
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

// Agreement on the outcome of a later step: true when every rank may go on;
// otherwise the message is printed once and false returned on every rank.
bool agree_step(int flag, const char* who) {
    const int agreed = agree_flag(flag);
    if (agreed == 0) return true;
    if (agreed < 0)
        report_fault(kFaultMpi, who, 0);
    else
        report(kSingular, g.rank == 0, "ERROR! Singular system!");
    return false;
}

void solve(Form form, double* A, double* B, double* X, int n, const char* who) {
    if (!check_up()) return;
    const int held = held_rows(form, n);
    int fault = kFaultNone;
    std::size_t failed = 0;
    if (held > 0 && (!A || !B || !X)) fault = kFaultNullArray;
    Buffer exps, at, a, b;
    IntBuffer ipiv, counts;
    if (n > 0 && fault == kFaultNone) {
        exps.alloc(n, &failed);
        at.alloc(grid_elems(n, n), &failed);
        a.alloc(grid_elems(n, n), &failed);
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

    int dsrc[9], dg[9], dbsrc[9], dbg[9];
    desc_source(dsrc, form, n, n);
    desc_grid(dg, n, n);
    desc_vsource(dbsrc, form, n);
    desc_grid(dbg, n, 1);
    redistribute(n, n, A, dsrc, at.p, dg);
    redistribute(n, 1, B, dbsrc, b.p, dbg);
    int singular = 0, info = 0;
    if (g.in_grid()) {
        // A^T on the grid becomes A; rows of A and B scaled alike.
        pdtran_(&n, &n, &kOne, at.p, &kI1, &kI1, dg, &kZero, a.p, &kI1, &kI1, dg);
        scale_grid(a.p, loc_rows(n), loc_cols(n), dg[8], exps.p, 0);
        scale_grid(b.p, loc_rows(n), loc_cols(1), dbg[8], exps.p, 0);
        pdgetrf_(&n, &n, a.p, &kI1, &kI1, dg, ipiv.p, &info);
        singular = grid_singular(a.p, n, dg[8]);
    }
    if (!agree_step(singular, who)) return;
    if (g.in_grid()) pdgetrs_("N", &n, &kI1, a.p, &kI1, &kI1, dg, ipiv.p, b.p, &kI1, &kI1, dbg, &info, 1);
    redistribute(n, 1, b.p, dbg, X, dbsrc);
}

void multiply(Form form, double* M1, int m, int k, double* M2, int n, double* X, const char* who) {
    if (!check_up()) return;
    const int held1 = held_rows(form, m), held2 = held_rows(form, k);
    int fault = kFaultNone;
    std::size_t failed = 0;
    if ((held1 > 0 && k > 0 && !M1) || (held2 > 0 && n > 0 && !M2) || (held1 > 0 && n > 0 && !X))
        fault = kFaultNullArray;
    Buffer ag, bg, cg;
    const bool work = m > 0 && n > 0 && k > 0;
    if (work && fault == kFaultNone) {
        ag.alloc(grid_elems(k, m), &failed);
        bg.alloc(grid_elems(n, k), &failed);
        cg.alloc(grid_elems(n, m), &failed);
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
    redistribute(k, m, M1, da_src, ag.p, da);
    redistribute(n, k, M2, db_src, bg.p, db);
    if (g.in_grid())
        pdgemm_("N", "N", &n, &m, &k, &kOne, bg.p, &kI1, &kI1, db, ag.p, &kI1, &kI1, da, &kZero, cg.p, &kI1,
                &kI1, dc, 1, 1);
    redistribute(n, m, cg.p, dc, X, dc_src);
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
    Buffer a, z, w, work, out;
    IntBuffer iwork;
    if (n > 0 && fault == kFaultNone) {
        a.alloc(grid_elems(n, n), &failed);
        z.alloc(grid_elems(n, n), &failed);
        w.alloc(n, &failed);
        if (g.in_grid()) {
            work.alloc(static_cast<std::size_t>(lwork), &failed);
            iwork.alloc(static_cast<std::size_t>(liwork), &failed);
        }
        out.alloc(static_cast<std::size_t>(held) * n, &failed);
        if (failed || lwork > INT32_MAX || liwork > INT32_MAX) fault = kFaultMemory;
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
    redistribute(n, n, M, dsrc, a.p, dg);
    int info = 0;
    if (g.in_grid()) {
        const int lw = static_cast<int>(lwork), liw = static_cast<int>(liwork);
        pdsyevd_("V", "U", &n, a.p, &kI1, &kI1, dg, w.p, z.p, &kI1, &kI1, dg, work.p, &lw, iwork.p, &liw, &info,
                 1, 1);
    }
    const int failed_info = agree_flag(info != 0 ? std::max(info, 1) : 0);
    if (failed_info != 0) {
        if (failed_info < 0) return report_fault(kFaultMpi, who, 0);
        return reportf(kNotConverged, "ERROR! DLA::%s: pdsyevd did not converge (info %d)!\n", who, failed_info);
    }
    // Eigenvectors come back as rows of Z (column-major, leading dimension
    // `held`); eM's column j is Z's column n-1-j, the eigenvalues descending.
    redistribute(n, n, z.p, dg, out.p, dout);
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
    const int lwork = (np + g.nb) * g.nb, liwork = nq + 2 * np + 4 * g.nb + 16;
    Buffer exps, at, a, work;
    IntBuffer ipiv, iwork;
    if (n > 0 && fault == kFaultNone) {
        exps.alloc(n, &failed);
        at.alloc(grid_elems(n, n), &failed);
        a.alloc(grid_elems(n, n), &failed);
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
    int dsrc[9], dg[9];
    desc_source(dsrc, Form::Root, n, n);
    desc_grid(dg, n, n);
    redistribute(n, n, M, dsrc, at.p, dg);
    int singular = 0, info = 0;
    if (g.in_grid()) {
        pdtran_(&n, &n, &kOne, at.p, &kI1, &kI1, dg, &kZero, a.p, &kI1, &kI1, dg);
        scale_grid(a.p, np, nq, dg[8], exps.p, 0);  // D A
        pdgetrf_(&n, &n, a.p, &kI1, &kI1, dg, ipiv.p, &info);
        singular = grid_singular(a.p, n, dg[8]);
    }
    if (!agree_step(singular, who)) return;
    if (g.in_grid()) {
        pdgetri_(&n, a.p, &kI1, &kI1, dg, ipiv.p, work.p, &lwork, iwork.p, &liwork, &info);
        scale_grid(a.p, np, nq, dg[8], exps.p, 1);  // inv(A) = inv(D A) D
        pdtran_(&n, &n, &kOne, a.p, &kI1, &kI1, dg, &kZero, at.p, &kI1, &kI1, dg);
    }
    redistribute(n, n, at.p, dg, iM, dsrc);
}

double DLA::DeterminantMsq(double* M, int nDim) {
    const char* who = "DeterminantMsq";
    const double nan = std::nan("");
    if (!check_up()) return nan;
    const int n = nDim;
    int fault = kFaultNone;
    std::size_t failed = 0;
    if (g.rank == 0 && n > 0 && !M) fault = kFaultNullArray;
    Buffer at, a, diag;
    IntBuffer ipiv;
    if (n > 3 && fault == kFaultNone) {
        at.alloc(grid_elems(n, n), &failed);
        a.alloc(grid_elems(n, n), &failed);
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
    if (n <= 3) {  // liblinalg's closed formulas
        double det = g.rank == 0 ? LA::DeterminantMsq(M, n) : 0.0;
        if (MPI_Bcast(&det, 1, MPI_DOUBLE, 0, g.comm) != MPI_SUCCESS) {
            report_fault(kFaultMpi, who, 0);
            return nan;
        }
        return det;
    }
    int dsrc[9], dg[9];
    desc_source(dsrc, Form::Root, n, n);
    desc_grid(dg, n, n);
    redistribute(n, n, M, dsrc, at.p, dg);
    // diag[0 .. n-1]: U's diagonal, diag[n]: the number of row interchanges;
    // each entry comes from one process, the others add zeros.
    for (int k = 0; k <= n; ++k) diag.p[k] = 0.0;
    if (g.in_grid()) {
        int info = 0;
        pdtran_(&n, &n, &kOne, at.p, &kI1, &kI1, dg, &kZero, a.p, &kI1, &kI1, dg);
        pdgetrf_(&n, &n, a.p, &kI1, &kI1, dg, ipiv.p, &info);
        for_local_diagonal(n, dg[8], [&](int k, std::size_t at_k) { diag.p[k] = a.p[at_k]; });
        if (g.mycol == 0)
            for (int l = 0, nl = loc_rows(n); l < nl; ++l)
                if (ipiv.p[l] != grid_global(l, g.myrow, g.nprow, g.nb) + 1) diag.p[n] += 1.0;
    }
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
