// Tests of liblinalg_dist. One program, run by mpirun on 1, 2 and 4 ranks;
// every launch runs every case under several process grids (a near-square
// grid, a grid smaller than the communicator so that some ranks hold no
// part of it, a column of processes) with small blocks, so that matrices of
// a few dozen rows span many blocks. Checks: HPL's scaled residual, the root
// and distributed forms against each other and against ScaLAPACK called
// directly (identical bits), liblinalg's results (to rounding), and every
// error path (one message on rank 0, outputs untouched on every rank).
#include "linalg.h"
#include "linalg_diag.h"
#include "linalg_dist.h"
#include "distributed/scalapack.h"

#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

extern "C" void pdgesv_(const int* n, const int* nrhs, double* a, const int* ia, const int* ja, const int* desca,
                        int* ipiv, double* b, const int* ib, const int* jb, const int* descb, int* info);

using LinearAlgebra::Diagnostics;
using LinearAlgebra::DLA;
using LinearAlgebra::Error;
using LinearAlgebra::LA;
using Vec = std::vector<double>;

namespace {

int rank_ = 0, size_ = 1;
int failures_ = 0;
std::string where_;

void check(bool ok, int line, const char* what) {
    if (ok) return;
    ++failures_;
    std::fprintf(stderr, "[rank %d] FAILED line %d: %s (%s)\n", rank_, line, what, where_.c_str());
}
#define CHECK(cond) check((cond), __LINE__, #cond)

// Standard output of this process while `call` runs.
std::string captured(const std::function<void()>& call) {
    std::fflush(stdout);
    FILE* tmp = std::tmpfile();
    const int saved = dup(1);
    dup2(fileno(tmp), 1);
    call();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    std::rewind(tmp);
    for (int c; (c = std::fgetc(tmp)) != EOF;) text += static_cast<char>(c);
    std::fclose(tmp);
    return text;
}

Vec random_matrix(int m, int n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Vec a(static_cast<size_t>(m) * n);
    for (double& x : a) x = u(gen);
    return a;
}

// Random n x n matrix with a dominant diagonal: well conditioned.
Vec system_matrix(int n, unsigned seed) {
    Vec a = random_matrix(n, n, seed);
    for (int i = 0; i < n; ++i) a[static_cast<size_t>(i) * n + i] += n;
    return a;
}

bool same_bits(const Vec& a, const Vec& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

double* root_ptr(Vec& v) { return rank_ == 0 ? v.data() : nullptr; }

// This rank's rows of a row-major array with `cols` columns.
Vec my_rows(const Vec& full, int rows, int cols) {
    const size_t first = DLA::RowsFirst(rows, rank_), count = DLA::RowsCount(rows, rank_);
    return Vec(full.begin() + first * cols, full.begin() + (first + count) * cols);
}

// The whole array from every rank's rows, on every rank.
Vec all_rows(const Vec& mine, int rows, int cols) {
    std::vector<int> counts(size_), firsts(size_);
    for (int q = 0; q < size_; ++q) {
        counts[q] = DLA::RowsCount(rows, q) * cols;
        firsts[q] = DLA::RowsFirst(rows, q) * cols;
    }
    Vec full(static_cast<size_t>(rows) * cols);
    MPI_Allgatherv(mine.data(), counts[rank_], MPI_DOUBLE, full.data(), counts.data(), firsts.data(), MPI_DOUBLE,
                   MPI_COMM_WORLD);
    return full;
}

// ScaLAPACK called directly on the grid DLA uses (same shape, same block):
// the array spread from rank 0, the routine, the result gathered to rank 0.
struct Direct {
    int handle = -1, ctx = -1, root = -1, all = -1, nprow = 1, npcol = 1, nb = 1, myrow = -1, mycol = -1;
    void init(int pr, int pc, int b) {
        nprow = pr, npcol = pc, nb = b;
        handle = Csys2blacs_handle(MPI_COMM_WORLD);
        ctx = root = all = handle;
        Cblacs_gridinit(&ctx, "Row-major", pr, pc);
        int map[1] = {0};
        Cblacs_gridmap(&root, map, 1, 1, 1);
        Cblacs_gridinit(&all, "Row-major", 1, size_);
        for (int c : {ctx, root, all}) {
            int on = 1;
            if (c >= 0) Cblacs_set(c, 15, &on), Cblacs_set(c, 16, &on);
        }
        int r, c;
        myrow = mycol = -1;
        if (ctx >= 0) Cblacs_gridinfo(ctx, &r, &c, &myrow, &mycol);
        if (myrow < 0) ctx = -1;
        if (rank_ != 0) root = -1;
    }
    void exit() {
        for (int c : {ctx, root, all})
            if (c >= 0) Cblacs_gridexit(c);
        Cfree_blacs_system_handle(handle);
    }
    int local(int n, int p, int np) const {
        const int zero = 0;
        return p < 0 ? 0 : numroc_(&n, &nb, &p, &zero, &np);
    }
    void desc(int* d, bool on_root, int m, int n) const {
        const int lld = on_root ? m : local(m, myrow, nprow);
        const int v[9] = {1, on_root ? root : ctx, m, n, on_root ? m : nb, on_root ? n : nb, 0, 0, std::max(1, lld)};
        std::copy(v, v + 9, d);
    }
    // Column-major m x n matrix from rank 0 onto the grid.
    Vec spread(Vec& whole, int m, int n, int* d) const {
        int dr[9];
        desc(dr, true, m, n);
        desc(d, false, m, n);
        Vec part(std::max<size_t>(1, static_cast<size_t>(local(m, myrow, nprow)) * local(n, mycol, npcol)));
        Cpdgemr2d(m, n, root_ptr(whole), 1, 1, dr, part.data(), 1, 1, d, all);
        return part;
    }
    Vec gather(Vec& part, int m, int n, int* d) const {
        int dr[9];
        desc(dr, true, m, n);
        Vec whole(static_cast<size_t>(m) * n);
        Cpdgemr2d(m, n, part.data(), 1, 1, d, whole.data(), 1, 1, dr, all);
        return whole;
    }
};

struct Grid {
    int nprow, npcol, nb;
};
const int one = 1;
const double d_one = 1.0, d_zero = 0.0;

void case_rows() {
    for (int n : {0, 1, 3, 5, 100, INT_MAX}) {  // INT_MAX: no int overflow on the way
        long long next = 0;
        for (int q = 0; q < size_; ++q) {
            CHECK(DLA::RowsFirst(n, q) == next);
            CHECK(DLA::RowsCount(n, q) >= 0 && DLA::RowsCount(n, q) <= (n - 1LL + size_) / size_);
            next += DLA::RowsCount(n, q);
        }
        CHECK(next == n);
    }
}

void case_solve(int n) {
    // Rows of very different magnitudes: the power-of-two scaling has work.
    Vec A = system_matrix(n, 11 + n), b = random_matrix(n, 1, 12 + n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) A[static_cast<size_t>(i) * n + j] = std::ldexp(A[static_cast<size_t>(i) * n + j], 9 * (i % 5) - 18);
    Vec x(n, NAN), xs(n, NAN);
    DLA::SolveLSE(root_ptr(A), root_ptr(b), root_ptr(x), n);
    Vec Ar = my_rows(A, n, n), br = my_rows(b, n, 1), xr(br.size(), NAN);
    DLA::SolveLSE_R(Ar.data(), br.data(), xr.data(), n);
    const Vec xall = all_rows(xr, n, 1);
    // X may be B.
    Vec bb = b;
    DLA::SolveLSE(root_ptr(A), root_ptr(bb), root_ptr(bb), n);
    if (rank_ == 0) {
        double r = 0, an = 0, xn = 0, bn = 0;
        for (int i = 0; i < n; ++i) {
            double s = -b[i], row = 0;
            for (int j = 0; j < n; ++j) {
                s += A[static_cast<size_t>(i) * n + j] * x[j];
                row += std::fabs(A[static_cast<size_t>(i) * n + j]);
            }
            r = std::max(r, std::fabs(s)), an = std::max(an, row);
            xn = std::max(xn, std::fabs(x[i])), bn = std::max(bn, std::fabs(b[i]));
        }
        CHECK(r / (DBL_EPSILON * (an * xn + bn) * n) < 16.0);
        CHECK(same_bits(x, xall));
        CHECK(same_bits(x, bb));
    } else {
        CHECK(std::isnan(x[0]));  // a root-form output of another rank is never written
    }
}

// Rows whose absolute sums lie in [0.5, 1) need no scaling: the wrapper then
// must give exactly what pdgetrf + pdgetrs (pdgesv) give on the transpose.
void case_solve_direct(int n, Direct& d) {
    Vec A = system_matrix(n, 21 + n), b = random_matrix(n, 1, 22 + n);
    for (int i = 0; i < n; ++i) {
        double s = 0;
        for (int j = 0; j < n; ++j) s += std::fabs(A[static_cast<size_t>(i) * n + j]);
        for (int j = 0; j < n; ++j) A[static_cast<size_t>(i) * n + j] *= 0.75 / s;
    }
    Vec x(n, NAN);
    DLA::SolveLSE(root_ptr(A), root_ptr(b), root_ptr(x), n);
    int da[9], dt[9], db[9], info = 0;
    Vec at = d.spread(A, n, n, dt);  // A^T, column-major
    Vec a(at.size());
    d.desc(da, false, n, n);
    Vec bp = d.spread(b, n, 1, db);
    std::vector<int> ipiv(d.local(n, d.myrow, d.nprow) + d.nb);
    if (d.ctx >= 0) {
        pdtran_(&n, &n, &d_one, at.data(), &one, &one, dt, &d_zero, a.data(), &one, &one, da);
        pdgesv_(&n, &one, a.data(), &one, &one, da, ipiv.data(), bp.data(), &one, &one, db, &info);
    }
    const Vec ref = d.gather(bp, n, 1, db);
    if (rank_ == 0) CHECK(same_bits(x, ref));
}

void case_multiply(int m, int k, int n, Direct& d) {
    Vec A = random_matrix(m, k, 31 + m), B = random_matrix(k, n, 32 + n);
    Vec C(static_cast<size_t>(m) * n, NAN), ref(C.size());
    DLA::MultiplyMM(root_ptr(A), m, k, root_ptr(B), n, root_ptr(C));
    Vec Ar = my_rows(A, m, k), Br = my_rows(B, k, n), Cr(static_cast<size_t>(DLA::RowsCount(m, rank_)) * n, NAN);
    DLA::MultiplyMM_R(Ar.data(), m, k, Br.data(), n, Cr.data());
    const Vec Call = all_rows(Cr, m, n);
    int da[9], db[9], dc[9];
    Vec at = d.spread(A, k, m, da), bt = d.spread(B, n, k, db);
    Vec zero(C.size(), 0.0);
    Vec ct = d.spread(zero, n, m, dc);
    if (d.ctx >= 0)
        pdgemm_("N", "N", &n, &m, &k, &d_one, bt.data(), &one, &one, db, at.data(), &one, &one, da, &d_zero,
                ct.data(), &one, &one, dc, 1, 1);
    const Vec direct = d.gather(ct, n, m, dc);
    if (rank_ == 0) {
        LA::MultiplyMM(A.data(), m, k, B.data(), n, ref.data());
        double err = 0;
        for (size_t i = 0; i < C.size(); ++i) err = std::max(err, std::fabs(C[i] - ref[i]));
        CHECK(err <= 4 * k * DBL_EPSILON);  // |A_ij|, |B_ij| <= 1
        CHECK(same_bits(C, Call));
        CHECK(same_bits(C, direct));
    }
}

void case_inverse_determinant(int n) {
    Vec M = system_matrix(n, 41 + n);
    for (int j = 0; j < n; ++j) M[j] *= 1024.0;  // one row far from the others' scale
    Vec iM(M.size(), NAN), ref(M.size());
    DLA::InverseMsq(root_ptr(M), root_ptr(iM), n);
    const double det = DLA::DeterminantMsq(root_ptr(M), n);
    double lo = det, hi = det;
    MPI_Allreduce(MPI_IN_PLACE, &lo, 1, MPI_DOUBLE, MPI_MIN, MPI_COMM_WORLD);
    MPI_Allreduce(MPI_IN_PLACE, &hi, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    CHECK(lo == hi);  // the same value on every rank
    if (rank_ != 0) return;
    LA::InverseMsq(M.data(), ref.data(), n);
    double err = 0, dev = 0;
    for (size_t i = 0; i < M.size(); ++i) dev = std::max(dev, std::fabs(iM[i] - ref[i]) * n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double s = i == j ? -1.0 : 0.0;
            for (int l = 0; l < n; ++l) s += M[static_cast<size_t>(i) * n + l] * iM[static_cast<size_t>(l) * n + j];
            err = std::max(err, std::fabs(s));
        }
    CHECK(err < 1e-12);
    CHECK(dev < 1e-12);
    const double det_ref = LA::DeterminantMsq(M.data(), n);
    if (n <= 3)
        CHECK(det == det_ref);
    else
        CHECK(std::fabs(det - det_ref) <= 1e-12 * std::fabs(det_ref));
}

// Random symmetric matrix in the diagonal and lower triangle; NaN above it,
// which no solver may read.
Vec symmetric_lower(int n, unsigned seed) {
    Vec M = random_matrix(n, n, seed);
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j) M[static_cast<size_t>(i) * n + j] = NAN;
    return M;
}

void case_eigen(int n, Direct& d) {
    Vec M = symmetric_lower(n, 51 + n);
    Vec eV(n, NAN), eM(M.size(), NAN);
    DLA::EigenSymmSystemMsqD(root_ptr(M), n, root_ptr(eV), root_ptr(eM));
    Vec Mr = my_rows(M, n, n), eVr(n, NAN), eMr(Mr.size(), NAN);
    DLA::EigenSymmSystemMsqD_R(Mr.data(), n, eVr.data(), eMr.data());
    const Vec eMall = all_rows(eMr, n, n);
    // pdsyevd directly on the transpose (uplo 'U'), ascending values.
    int da[9], dz[9], info = 0;
    Vec a = d.spread(M, n, n, da), zero(M.size(), 0.0);
    Vec z = d.spread(zero, n, n, dz), w(n);
    if (d.ctx >= 0) {
        int lwork = -1, liwork = -1, iq = 0;
        double q = 0;
        pdsyevd_("V", "U", &n, a.data(), &one, &one, da, w.data(), z.data(), &one, &one, dz, &q, &lwork, &iq,
                 &liwork, &info, 1, 1);
        // The query's answer is too small for pdormtr when the block is large
        // against the order; the margin the library adds.
        const int np = d.local(n, d.myrow, d.nprow), nq = d.local(n, d.mycol, d.npcol);
        lwork = static_cast<int>(q) + std::max(d.nb * (d.nb - 1) / 2, (np + nq) * d.nb) + d.nb * d.nb;
        liwork = std::max(iq, 1);
        Vec work(lwork);
        std::vector<int> iwork(liwork);
        pdsyevd_("V", "U", &n, a.data(), &one, &one, da, w.data(), z.data(), &one, &one, dz, work.data(), &lwork,
                 iwork.data(), &liwork, &info, 1, 1);
    }
    const Vec Z = d.gather(z, n, n, dz);
    Vec eVall = eVr;
    MPI_Bcast(eVall.data(), n, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    CHECK(same_bits(eVr, eVall));  // the same eigenvalues on every rank
    if (rank_ != 0) return;
    CHECK(same_bits(eV, eVr));
    CHECK(same_bits(eM, eMall));
    bool direct = true;
    for (int j = 0; j < n; ++j) {
        direct = direct && eV[j] == w[n - 1 - j];
        for (int i = 0; i < n; ++i) direct = direct && eM[static_cast<size_t>(i) * n + j] == Z[i + static_cast<size_t>(n - 1 - j) * n];
    }
    CHECK(direct);
    Vec rV(n), rM(M.size());
    LA::EigenSymmSystemMsqH(M.data(), n, rV.data(), rM.data());
    double dv = 0, dm = 0;
    for (int j = 0; j < n; ++j) {
        dv = std::max(dv, std::fabs(eV[j] - rV[j]));
        double dot = 0;
        for (int i = 0; i < n; ++i) dot += eM[static_cast<size_t>(i) * n + j] * rM[static_cast<size_t>(i) * n + j];
        const double sign = dot < 0 ? -1.0 : 1.0;
        for (int i = 0; i < n; ++i)
            dm = std::max(dm, std::fabs(sign * eM[static_cast<size_t>(i) * n + j] - rM[static_cast<size_t>(i) * n + j]));
    }
    CHECK(dv <= 64 * n * DBL_EPSILON);
    CHECK(dm <= 1e-9);
}

// `call` fails with `error`: rank 0 prints exactly `expected` (or text
// starting with it when `prefix`), the other ranks nothing, every rank's
// LastError() is `error`, and every output keeps its bits.
void expect_failure(Error error, const std::string& expected, const std::function<void()>& call,
                    std::vector<Vec*> outputs, bool prefix = false) {
    std::vector<Vec> before;
    for (Vec* v : outputs) before.push_back(*v);
    const std::string text = captured(call);
    CHECK(Diagnostics::LastError() == error);
    if (rank_ == 0) {
        CHECK(prefix ? text.compare(0, expected.size(), expected) == 0 : text == expected);
        if (text != expected && !prefix) std::fprintf(stderr, "  got \"%s\"\n", text.c_str());
    } else {
        CHECK(text.empty());
    }
    for (size_t i = 0; i < outputs.size(); ++i) CHECK(same_bits(*outputs[i], before[i]));
}

void case_errors() {
    const int n = 7;
    Vec A = system_matrix(n, 61), b = random_matrix(n, 1, 62), X(n, 7.0);
    for (int j = 0; j < n; ++j) A[n + j] = A[j];  // two equal rows
    Vec Ar = my_rows(A, n, n), br = my_rows(b, n, 1), Xr(br.size(), 7.0);
    const std::string singular = "ERROR! Singular system!";
    expect_failure(Error::Singular, singular, [&] { DLA::SolveLSE(root_ptr(A), root_ptr(b), root_ptr(X), n); }, {&X});
    expect_failure(Error::Singular, singular, [&] { DLA::SolveLSE_R(Ar.data(), br.data(), Xr.data(), n); }, {&Xr});
    Vec iM(A.size(), 7.0);
    expect_failure(Error::Singular, singular, [&] { DLA::InverseMsq(root_ptr(A), root_ptr(iM), n); }, {&iM});
    double det = 1.0;
    expect_failure(Error::Singular, singular, [&] { det = DLA::DeterminantMsq(root_ptr(A), n); }, {});
    CHECK(det == 0.0);

    // liblinalg's threshold after row scaling: refused at 1e-13, solved at 1e-11.
    for (double eps : {1e-13, 1e-11}) {
        Vec T = {1.0, 1.0, 1.0, 1.0 + eps}, tb = {1.0, 2.0}, tx = {7.0, 7.0};
        if (eps < 1e-12) {
            expect_failure(Error::Singular, singular, [&] { DLA::SolveLSE(root_ptr(T), root_ptr(tb), root_ptr(tx), 2); }, {&tx});
        } else {
            const std::string text = captured([&] { DLA::SolveLSE(root_ptr(T), root_ptr(tb), root_ptr(tx), 2); });
            CHECK(text.empty());
            CHECK(Diagnostics::LastError() == Error::None);  // after the failures above
            if (rank_ == 0) CHECK(std::isfinite(tx[0]) && std::isfinite(tx[1]));
        }
    }

    // Non-finite input on the last rank that holds rows.
    Vec M = symmetric_lower(n, 63);
    M[static_cast<size_t>(n - 1) * n + 2] = INFINITY;
    Vec Mr = my_rows(M, n, n), eV(n, 7.0), eM(Mr.size(), 7.0);
    expect_failure(Error::NonFinite, "ERROR! DLA::EigenSymmSystemMsqD_R: NaN or infinity in the matrix!\n",
                   [&] { DLA::EigenSymmSystemMsqD_R(Mr.data(), n, eV.data(), eM.data()); }, {&eV, &eM});
    Vec eVroot(n, 7.0), eMroot(M.size(), 7.0);
    expect_failure(Error::NonFinite, "ERROR! DLA::EigenSymmSystemMsqD: NaN or infinity in the matrix!\n",
                   [&] { DLA::EigenSymmSystemMsqD(root_ptr(M), n, root_ptr(eVroot), root_ptr(eMroot)); },
                   {&eVroot, &eMroot});

    if (size_ > 1) {
        const int mine = rank_ == 1 ? n + 1 : n;
        expect_failure(Error::NotInitialized, "ERROR! DLA::SolveLSE_R: sizes differ between ranks!\n",
                       [&] { DLA::SolveLSE_R(Ar.data(), br.data(), Xr.data(), mine); }, {&Xr});
    }
    // Through liblinalg's message handler: the text reaches it on rank 0 and
    // nothing is printed.
    std::string handed;
    Diagnostics::SetMessageHandler([](const char* text, void* user) { *static_cast<std::string*>(user) += text; },
                                   &handed);
    CHECK(captured([&] { DLA::SolveLSE_R(Ar.data(), br.data(), Xr.data(), n); }).empty());
    Diagnostics::SetMessageHandler(nullptr, nullptr);
    CHECK(handed == (rank_ == 0 ? singular : std::string()));

    Vec B = random_matrix(n, n, 64), C(A.size(), 7.0);
    expect_failure(Error::NotInitialized, "ERROR! DLA::MultiplyMM: null array on a rank that holds data!\n",
                   [&] { DLA::MultiplyMM(nullptr, n, n, root_ptr(B), n, root_ptr(C)); }, {&C});
    // Work arrays far beyond memory; the inputs are never read.
    double dummy[1] = {7.0};
    Vec none;
    expect_failure(Error::NoMemory, "ERROR! Not enough memory for the DLA::SolveLSE work arrays (",
                   [&] { DLA::SolveLSE(dummy, dummy, dummy, 1 << 21); }, {}, true);
    CHECK(dummy[0] == 7.0);
}

// Every function leaves the same LastError() on every rank, whatever the
// outcome: success, a singular matrix, sizes that differ between ranks (-1
// on one rank), NaN in the input.
void case_status_agrees() {
    enum Kind { kOk, kSingular, kBadSize, kNaN };
    for (int n : {2, 5})
        for (int kind : {kOk, kSingular, kBadSize, kNaN}) {
            Vec A = system_matrix(n, 81 + n), b = random_matrix(n, 1, 82 + n);
            if (kind == kSingular)
                for (int j = 0; j < n; ++j) A[n + j] = A[j];
            if (kind == kNaN) A[n] = NAN;  // row 1, in every lower triangle
            const int m = kind != kBadSize ? n : size_ == 1 ? -1 : rank_ == 1 ? n + 1 : n;
            Vec X(n, 7.0), C(A.size(), 7.0), eV(n, 7.0), eM(A.size(), 7.0), Ar = my_rows(A, n, n),
                br = my_rows(b, n, 1), Xr(br.size(), 7.0), Cr(Ar.size(), 7.0), eMr(Ar.size(), 7.0);
            // A rank that claims a larger order holds the rows of that order:
            // room for them, so that only the disagreement is under test.
            if (kind == kBadSize)
                for (Vec* v : {&Ar, &br, &Xr, &Cr, &eMr, &eV}) v->resize(static_cast<size_t>(n + 1) * (n + 1), 1.0);
            const std::vector<std::pair<std::string, std::function<void()>>> calls = {
                {"SolveLSE", [&] { DLA::SolveLSE(root_ptr(A), root_ptr(b), root_ptr(X), m); }},
                {"SolveLSE_R", [&] { DLA::SolveLSE_R(Ar.data(), br.data(), Xr.data(), m); }},
                {"MultiplyMM", [&] { DLA::MultiplyMM(root_ptr(A), m, n, root_ptr(A), n, root_ptr(C)); }},
                {"MultiplyMM_R", [&] { DLA::MultiplyMM_R(Ar.data(), m, n, Ar.data(), n, Cr.data()); }},
                {"InverseMsq", [&] { DLA::InverseMsq(root_ptr(A), root_ptr(C), m); }},
                {"DeterminantMsq", [&] { DLA::DeterminantMsq(root_ptr(A), m); }},
                {"EigenSymmSystemMsqD", [&] { DLA::EigenSymmSystemMsqD(root_ptr(A), m, root_ptr(eV), root_ptr(eM)); }},
                {"EigenSymmSystemMsqD_R", [&] { DLA::EigenSymmSystemMsqD_R(Ar.data(), m, eV.data(), eMr.data()); }},
            };
            for (const auto& call : calls) {
                where_ = call.first + " n " + std::to_string(n) + " kind " + std::to_string(kind);
                captured(call.second);
                const int e = static_cast<int>(Diagnostics::LastError());
                int v[2] = {e, -e};
                MPI_Allreduce(MPI_IN_PLACE, v, 2, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
                CHECK(v[0] == -v[1]);
                const bool lu = call.first.compare(0, 5, "Solve") == 0 || call.first == "InverseMsq" ||
                                call.first == "DeterminantMsq";
                if (kind == kOk) CHECK(e == static_cast<int>(Error::None));
                if (kind == kSingular && lu) CHECK(e == static_cast<int>(Error::Singular));
                if (kind == kBadSize)
                    CHECK(e == static_cast<int>(size_ == 1 ? Error::None : Error::NotInitialized));
                if (kind == kNaN && !lu && call.first[0] == 'E') CHECK(e == static_cast<int>(Error::NonFinite));
            }
        }
}

// The block size: the largest accepted one computes an inverse that
// ScaLAPACK's int work sizes could not hold beyond it; larger blocks, and a
// grid that does not fit, are refused and leave the working grid in place;
// a call whose work exceeds what ScaLAPACK accepts is refused as memory.
void case_block_limits() {
    const int n = 4, largest = 4096;
    Vec M = system_matrix(n, 91), ref(M.size());
    LA::InverseMsq(M.data(), ref.data(), n);
    auto inverse_ok = [&] {
        Vec iM(M.size(), NAN);
        const std::string text = captured([&] { DLA::InverseMsq(root_ptr(M), root_ptr(iM), n); });
        CHECK(text.empty());
        CHECK(Diagnostics::LastError() == Error::None);
        if (rank_ == 0)
            for (size_t i = 0; i < M.size(); ++i) CHECK(std::fabs(iM[i] - ref[i]) < 1e-12);
    };
    CHECK(DLA::Init_MPI(MPI_COMM_WORLD, 0, 0, largest) == 0);
    inverse_ok();
    for (int nb : {largest + 1, 65535, 1 << 30}) {
        const std::string text = "ERROR! DLA::Init_MPI: block " + std::to_string(nb) + " above the largest, " +
                                 std::to_string(largest) + "!\n";
        int rc = 0;
        expect_failure(Error::NotInitialized, text, [&] { rc = DLA::Init_MPI(MPI_COMM_WORLD, 0, 0, nb); }, {});
        CHECK(rc == -1);
        inverse_ok();  // the grid of the call before
    }
    int rc = 0;
    captured([&] { rc = DLA::Init_MPI(MPI_COMM_WORLD, size_ + 1, 1, 8); });
    CHECK(rc == -1);
    inverse_ok();
    // Panels of 400000 / nprow rows x 4096 columns exceed int bytes.
    double dummy[1] = {7.0};
    for (const char* who : {"InverseMsq", "SolveLSE"}) {
        const std::string prefix = std::string("ERROR! Not enough memory for the DLA::") + who + " work arrays (";
        expect_failure(Error::NoMemory, prefix, [&] {
            if (who[0] == 'I') DLA::InverseMsq(dummy, dummy, 400000);
            if (who[0] == 'S') DLA::SolveLSE(dummy, dummy, dummy, 400000);
        }, {}, true);
    }
    CHECK(dummy[0] == 7.0);
    CHECK(DLA::Exit_MPI() == 0);
}

// Init_MPI's own failures and calls outside Init_MPI .. Exit_MPI; leaves the
// library uninitialised.
void case_init_errors() {
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "ERROR! DLA::Init_MPI: grid %d x 1 with block 8 does not fit %d ranks!\n", size_ + 1, size_);
    int rc = 0;
    expect_failure(Error::NotInitialized, expected, [&] { rc = DLA::Init_MPI(MPI_COMM_WORLD, size_ + 1, 1, 8); }, {});
    CHECK(rc == -1);
    if (size_ > 1) {
        expect_failure(Error::NotInitialized, "ERROR! DLA::Init_MPI: grid arguments differ between ranks!\n",
                       [&] { rc = DLA::Init_MPI(MPI_COMM_WORLD, 1, 1, rank_ == 1 ? 16 : 8); }, {});
        CHECK(rc == -1);
    }
    Vec A = system_matrix(3, 71), b(3, 1.0), x(3, 7.0);
    expect_failure(Error::NotInitialized, "\nERROR! MPI not initialized! Use DLA::Init_MPI( comm, nprow, npcol, nb )!\n",
                   [&] { DLA::SolveLSE(root_ptr(A), root_ptr(b), root_ptr(x), 3); }, {&x});
    CHECK(DLA::RowsCount(10, 0) == 0);
}

} // namespace

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &size_);
    std::vector<Grid> grids = {{0, 0, 8}, {1, 1, 3}};
    if (size_ > 1) grids.push_back({size_, 1, 5});
    int passed = 0, failed = 0;
    auto run = [&](const std::string& name, const std::function<void()>& body) {
        where_ = name;
        const int before = failures_;
        body();
        int bad = failures_ > before;
        MPI_Allreduce(MPI_IN_PLACE, &bad, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
        (bad ? failed : passed) += 1;
        if (rank_ == 0 && bad) std::fprintf(stderr, "case %s failed\n", name.c_str());
    };
    for (const Grid& gr : grids) {
        CHECK(DLA::Init_MPI(MPI_COMM_WORLD, gr.nprow, gr.npcol, gr.nb) == 0);
        int pr = gr.nprow, pc = gr.npcol;
        if (pr == 0) {  // the near-square choice: the largest divisor <= sqrt
            pr = 1;
            for (int q = 1; q * q <= size_; ++q)
                if (size_ % q == 0) pr = q;
            pc = size_ / pr;
        }
        Direct d;
        d.init(pr, pc, gr.nb);
        const std::string tag = " grid " + std::to_string(pr) + "x" + std::to_string(pc) + " nb " +
                                std::to_string(gr.nb);
        run("rows" + tag, case_rows);
        for (int n : {1, 7, 45}) {
            const std::string at = tag + " n " + std::to_string(n);
            run("solve" + at, [&] { case_solve(n); });
            run("solve vs pdgesv" + at, [&] { case_solve_direct(n, d); });
            run("inverse, determinant" + at, [&] { case_inverse_determinant(n); });
            run("eigen" + at, [&] { case_eigen(n, d); });
        }
        run("determinant n 3" + tag, [&] { case_inverse_determinant(3); });
        run("multiply 1x1x1" + tag, [&] { case_multiply(1, 1, 1, d); });
        run("multiply 23x17x31" + tag, [&] { case_multiply(23, 17, 31, d); });
        run("multiply 40x45x9" + tag, [&] { case_multiply(40, 45, 9, d); });
        // Orders whose row blocks are exactly one grid block: on a grid of
        // one process row (or column) across all ranks, the distributed
        // form's rows are then used where they are.
        const int fit = gr.nb * size_;
        run("solve, multiply at the row block" + tag, [&] {
            case_solve(fit);
            case_solve_direct(fit, d);
            case_multiply(fit, fit, 9, d);
        });
        run("errors" + tag, case_errors);
        run("status agrees" + tag, case_status_agrees);
        d.exit();
        CHECK(DLA::Exit_MPI() == 0);
    }
    run("block limits", case_block_limits);
    run("init errors", case_init_errors);
    if (rank_ == 0) std::printf("%d passed, %d failed\n", passed, failed);
    MPI_Finalize();
    return failed ? 1 : 0;
}
