// The eigen-solvers on LAPACK-style matrix types: prescribed spectra under a
// random orthogonal similarity, projections, graded, Jordan, companion and
// Day's matrices, the classic tridiagonals, each also scaled by 1e+-300.
// Every case must return normally. Symmetric solvers are judged by
// ||A V - V L|| / (||A|| n eps) and ||V^T V - I|| / (n eps), the general
// solver by its eigenvalues against dgeev's, matched as a multiset within
// a tolerance that follows each eigenvalue's condition number.
//
// LINALG_EIGEN_REPORT=1 prints one line per case with the same ratios for
// LAPACK (dsyev, dgeevx) and for the frozen solvers of support/ref_eigen
// ("-" where those do not converge).
#include "linalg.h"
#include "support/ref_eigen.h"
#include "support/reference.h"

#include <lapacke.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

using LinearAlgebra::LA;

namespace {

using Matrix = std::vector<double>;
const double kEps = std::numeric_limits<double>::epsilon();

bool report() {
    static const bool on = std::getenv("LINALG_EIGEN_REPORT") != nullptr;
    return on;
}

double& at(Matrix& A, int n, int i, int j) { return A[static_cast<std::size_t>(i) * n + j]; }

// Orthogonal factor of a random matrix (Householder QR).
Matrix random_orthogonal(int n, std::uint64_t salt) {
    Matrix Q = ref::random_vector(static_cast<std::size_t>(n) * n, salt);
    std::vector<double> tau(n);
    LAPACKE_dgeqrf(LAPACK_ROW_MAJOR, n, n, Q.data(), n, tau.data());
    LAPACKE_dorgqr(LAPACK_ROW_MAJOR, n, n, n, Q.data(), n, tau.data());
    return Q;
}

// Q T Q^T; symmetric T gives an exactly symmetric result (upper mirrored).
Matrix similar(const Matrix& T, int n, std::uint64_t salt, bool symmetric) {
    const Matrix Q = random_orthogonal(n, salt);
    Matrix QT(T.size(), 0.0), A(T.size(), 0.0);
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < n; ++k) {
            const double q = Q[static_cast<std::size_t>(i) * n + k];
            if (q == 0.0) continue;
            for (int j = 0; j < n; ++j) QT[static_cast<std::size_t>(i) * n + j] += q * T[static_cast<std::size_t>(k) * n + j];
        }
    for (int i = 0; i < n; ++i)
        for (int j = symmetric ? i : 0; j < n; ++j) {
            double s = 0.0;
            for (int k = 0; k < n; ++k) s += QT[static_cast<std::size_t>(i) * n + k] * Q[static_cast<std::size_t>(j) * n + k];
            at(A, n, i, j) = s;
            if (symmetric) at(A, n, j, i) = s;
        }
    return A;
}

// Spectra in the manner of LAPACK's dlatms modes, random signs, largest 1.
enum class Spectrum { Clustered, OneLarge, Geometric, Arithmetic, GradedToEps, LogUniform };

std::vector<double> spectrum(Spectrum kind, int n, std::uint64_t salt) {
    const std::vector<double> u = ref::random_vector(2 * static_cast<std::size_t>(n), salt, 0.0, 1.0);
    std::vector<double> w(n);
    const double cond = 1e12;
    for (int i = 0; i < n; ++i) {
        const double t = n > 1 ? static_cast<double>(i) / (n - 1) : 0.0;
        switch (kind) {
        case Spectrum::Clustered: w[i] = i == n - 1 && n > 1 ? 1.0 / cond : 1.0; break;
        case Spectrum::OneLarge: w[i] = i == 0 ? 1.0 : 1.0 / cond; break;
        case Spectrum::Geometric: w[i] = std::pow(cond, -t); break;
        case Spectrum::Arithmetic: w[i] = 1.0 - t * (1.0 - 1.0 / cond); break;
        case Spectrum::GradedToEps: w[i] = std::pow(kEps, t); break;
        case Spectrum::LogUniform: w[i] = std::exp(u[n + i] * std::log(1.0 / cond)); break;
        }
        if (u[i] < 0.5) w[i] = -w[i];
    }
    return w;
}

Matrix diagonal(const std::vector<double>& w) {
    const int n = static_cast<int>(w.size());
    Matrix D(static_cast<std::size_t>(n) * n, 0.0);
    for (int i = 0; i < n; ++i) at(D, n, i, i) = w[i];
    return D;
}

Matrix symmetric_with(Spectrum kind, int n, std::uint64_t salt) {
    return similar(diagonal(spectrum(kind, n, salt)), n, salt + 1, true);
}

// Upper triangular T with the spectrum w (sorted) on its diagonal and
// T(i, j) up to 0.1 sqrt(|w_i w_j|) above it, under an orthogonal
// similarity: far from normal, yet small eigenvalues keep errors of the
// order of their own size rather than merging into one ill-conditioned
// cluster. Equal eigenvalues sit next to each other with zeros between
// them, so they stay semisimple (Jordan blocks have their own type).
Matrix general_with(Spectrum kind, int n, std::uint64_t salt) {
    std::vector<double> w = spectrum(kind, n, salt);
    std::sort(w.begin(), w.end());
    Matrix T = diagonal(w);
    const Matrix r = ref::random_vector(static_cast<std::size_t>(n) * n, salt + 2);
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j)
            if (w[i] != w[j])
                at(T, n, i, j) = 0.1 * std::sqrt(std::fabs(w[i] * w[j])) * r[static_cast<std::size_t>(i) * n + j];
    return similar(T, n, salt + 1, false);
}

Matrix random_symmetric(int n, std::uint64_t salt) {
    Matrix A = ref::random_vector(static_cast<std::size_t>(n) * n, salt);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < i; ++j) at(A, n, i, j) = at(A, n, j, i);
    return A;
}

// Orthogonal projection onto a random k-dimensional subspace: Q_k Q_k^T.
Matrix projection(int n, int k, std::uint64_t salt) {
    std::vector<double> w(n, 0.0);
    for (int i = 0; i < k; ++i) w[i] = 1.0;
    return similar(diagonal(w), n, salt, true);
}

// A(i, j) = 10^(-(i+j)/2) (1 on the diagonal, 0.5 off it): positive definite,
// graded over n decades.
Matrix graded_pd(int n) {
    Matrix A(static_cast<std::size_t>(n) * n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) at(A, n, i, j) = std::pow(10.0, -0.5 * (i + j + 2)) * (i == j ? 1.0 : 0.5);
    return A;
}

Matrix tridiagonal(int n, const std::function<double(int)>& diag, double off) {
    Matrix A(static_cast<std::size_t>(n) * n, 0.0);
    for (int i = 0; i < n; ++i) {
        at(A, n, i, i) = diag(i);
        if (i + 1 < n) at(A, n, i, i + 1) = at(A, n, i + 1, i) = off;
    }
    return A;
}

// Jordan blocks of orders 1, 2, 3, 4, 1, 2, ... for the eigenvalues 1, -1,
// 2, 0.5, ... under an orthogonal similarity.
Matrix jordan(int n, std::uint64_t salt) {
    Matrix J(static_cast<std::size_t>(n) * n, 0.0);
    const double values[] = {1.0, -1.0, 2.0, 0.5};
    int start = 0, block = 0;
    while (start < n) {
        const int size = std::min(1 + block % 4, n - start);
        for (int i = start; i < start + size; ++i) {
            at(J, n, i, i) = values[block % 4];
            if (i + 1 < start + size) at(J, n, i, i + 1) = 1.0;
        }
        start += size;
        ++block;
    }
    return similar(J, n, salt, false);
}

// Companion matrix of x^n + c[n-1] x^(n-1) + ... + c[0] (first row -c).
Matrix companion(const std::vector<double>& c) {
    const int n = static_cast<int>(c.size());
    Matrix A(static_cast<std::size_t>(n) * n, 0.0);
    for (int j = 0; j < n; ++j) at(A, n, 0, j) = -c[n - 1 - j];
    for (int i = 1; i < n; ++i) at(A, n, i, i - 1) = 1.0;
    return A;
}

// Day's matrix [[0,1,0,e],[1,0,0,0],[0,e,0,1],[0,0,1,0]], e = 1e-9, copied
// along the diagonal; an order of 2 mod 4 ends with its leading 2 x 2 block.
Matrix day(int n) {
    const double e = 1e-9;
    const double D[4][4] = {{0, 1, 0, e}, {1, 0, 0, 0}, {0, e, 0, 1}, {0, 0, 1, 0}};
    Matrix A(static_cast<std::size_t>(n) * n, 0.0);
    for (int b = 0; b < n; b += 4)
        for (int i = 0; i < 4 && b + i < n; ++i)
            for (int j = 0; j < 4 && b + j < n; ++j) at(A, n, b + i, b + j) = D[i][j];
    return A;
}

// Adjacency matrices of directed graphs on six nodes (0/1 entries) on which
// the iteration needs more than 30 steps for one eigenvalue.
Matrix digraph6(int which) {
    static const char* const kGraphs[] = {
        "110010" "010001" "000100" "010110" "100000" "011000",
        "000000" "110000" "010000" "101100" "111001" "101000",
        "000100" "001000" "010100" "100000" "100100" "011000",
    };
    const char* g = kGraphs[which];
    Matrix A(36);
    for (int k = 0; k < 36; ++k) A[k] = g[k] == '1' ? 1.0 : 0.0;
    return A;
}

struct Case {
    std::string name;
    int n;
    std::function<Matrix()> make;
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

// Every case three times: as built, and scaled by 1e300 and 1e-300 (orders
// up to 50, to keep the time in bounds).
void add_scaled(std::vector<Case>& out, const std::string& name, int n, std::function<Matrix()> make) {
    out.push_back({name, n, make});
    if (n > 50) return;
    for (double s : {1e300, 1e-300}) {
        out.push_back({name + (s > 1.0 ? "_x1e300" : "_x1e-300"), n, [make, s] {
                           Matrix A = make();
                           for (double& x : A) x *= s;
                           return A;
                       }});
    }
}

std::string tag(const char* kind, int n) { return std::string(kind) + "_n" + std::to_string(n); }

const struct {
    const char* name;
    Spectrum kind;
} kSpectra[] = {{"clustered", Spectrum::Clustered},   {"one_large", Spectrum::OneLarge},
                {"geometric", Spectrum::Geometric},   {"arithmetic", Spectrum::Arithmetic},
                {"graded_to_eps", Spectrum::GradedToEps}, {"log_uniform", Spectrum::LogUniform}};

std::vector<Case> symmetric_cases() {
    std::vector<Case> c;
    for (int n : {1, 2, 3, 5, 10, 40, 100}) {
        const std::uint64_t salt = 31000 + 16 * static_cast<std::uint64_t>(n);
        add_scaled(c, tag("random", n), n, [n, salt] { return random_symmetric(n, salt); });
        for (const auto& s : kSpectra)
            add_scaled(c, tag(s.name, n), n, [n, s, salt] { return symmetric_with(s.kind, n, salt + 3); });
        add_scaled(c, tag("projection", n), n, [n, salt] { return projection(n, n / 2, salt + 5); });
        add_scaled(c, tag("graded_pd", n), n, [n] { return graded_pd(n); });
        add_scaled(c, tag("wilkinson", n), n,
                   [n] { return tridiagonal(n, [n](int i) { return std::fabs(i - 0.5 * (n - 1)); }, 1.0); });
        add_scaled(c, tag("second_difference", n), n, [n] { return tridiagonal(n, [](int) { return 2.0; }, -1.0); });
    }
    // Projections of the orders and ranks where the old iteration limit ended
    // the process, and the largest order.
    for (int n : {60, 64, 80})
        c.push_back({tag("projection", n), n, [n] { return projection(n, n / 2, 32000 + n); }});
    c.push_back({tag("graded_to_eps", 300), 300, [] { return symmetric_with(Spectrum::GradedToEps, 300, 32500); }});
    c.push_back({tag("projection", 300), 300, [] { return projection(300, 100, 32600); }});
    // Tiny and huge 2 x 2 and 3 x 3 matrices.
    c.push_back({"tiny_off_diagonal", 2, [] { return Matrix{0, 1e-310, 1e-310, 0}; }});
    c.push_back({"tiny_2x2", 2, [] { return Matrix{1e-309, 2e-309, 2e-309, 1e-309}; }});
    c.push_back({"tiny_3x3", 3, [] { return Matrix{1e-305, 1e-305, 0, 1e-305, 2e-305, 1e-305, 0, 1e-305, 3e-305}; }});
    c.push_back({"huge_2x2", 2, [] { return Matrix{1e308, 1e307, 1e307, -1e308}; }});
    return c;
}

std::vector<Case> general_cases() {
    std::vector<Case> c;
    for (int n : {1, 2, 3, 5, 10, 40, 100}) {
        const std::uint64_t salt = 41000 + 16 * static_cast<std::uint64_t>(n);
        add_scaled(c, tag("random", n), n, [n, salt] { return ref::random_vector(static_cast<std::size_t>(n) * n, salt); });
        for (const auto& s : kSpectra)
            add_scaled(c, tag(s.name, n), n, [n, s, salt] { return general_with(s.kind, n, salt + 3); });
        add_scaled(c, tag("jordan", n), n, [n, salt] { return jordan(n, salt + 5); });
        add_scaled(c, tag("companion", n), n, [n, salt] {
            return companion(ref::random_vector(static_cast<std::size_t>(n), salt + 7));
        });
    }
    for (int n : {4, 6, 8, 12, 50, 100, 200}) add_scaled(c, tag("day", n), n, [n] { return day(n); });
    add_scaled(c, "companion_of_(x^2-1)^2", 4, [] { return companion({1, 0, -2, 0}); });
    for (int g = 0; g < 3; ++g)
        add_scaled(c, "digraph6_" + std::to_string(g), 6, [g] { return digraph6(g); });
    c.push_back({"huge_2x2", 2, [] { return Matrix{1e154, 2e154, 3e154, 4e154}; }});
    c.push_back({"tiny_2x2", 2, [] { return Matrix{1e-200, 2e-200, 3e-200, 4e-200}; }});
    c.push_back({tag("random", 200), 200, [] { return ref::random_vector(200 * 200, 42000); }});
    return c;
}

double norm1(const Matrix& A, int n) {
    double best = 0.0;
    for (int j = 0; j < n; ++j) {
        double s = 0.0;
        for (int i = 0; i < n; ++i) s += std::fabs(A[static_cast<std::size_t>(i) * n + j]);
        best = std::max(best, s);
    }
    return best;
}

// The two symmetric ratios, computed in long double on the matrix scaled so
// that its norm is near 1 (the ratios are scale-free; this keeps the
// residual itself away from overflow and underflow). V's columns belong to w.
struct SymmRatios {
    double residual, orthonormality;
};

SymmRatios symm_ratios(const Matrix& A, const std::vector<double>& w, const Matrix& V, int n) {
    const double anorm = norm1(A, n);
    const int e = anorm > 0.0 ? std::ilogb(anorm) : 0;
    std::vector<long double> As(A.size()), ws(n);
    for (std::size_t k = 0; k < A.size(); ++k) As[k] = std::scalbn(static_cast<long double>(A[k]), -e);
    for (int j = 0; j < n; ++j) ws[j] = std::scalbn(static_cast<long double>(w[j]), -e);
    Matrix R(A.size()), O(A.size());
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            long double s = 0.0L, o = 0.0L;
            for (int k = 0; k < n; ++k) {
                const long double v = V[static_cast<std::size_t>(k) * n + j];
                s += As[static_cast<std::size_t>(i) * n + k] * v;
                o += V[static_cast<std::size_t>(k) * n + i] * v;
            }
            s -= V[static_cast<std::size_t>(i) * n + j] * ws[j];
            R[static_cast<std::size_t>(i) * n + j] = static_cast<double>(s);
            O[static_cast<std::size_t>(i) * n + j] = static_cast<double>(o - (i == j ? 1.0L : 0.0L));
        }
    // A subnormal norm counts as the smallest normal number: results down
    // there are only as exact as the spacing of subnormal numbers.
    const double scaled_norm = std::scalbn(std::max(anorm, DBL_MIN), -e);
    return {anorm > 0.0 ? norm1(R, n) / (scaled_norm * n * kEps) : norm1(R, n), norm1(O, n) / (n * kEps)};
}

// Largest magnitude in [2^-500, 2^500] (or a zero matrix): the solvers use
// the matrix as it is, and must give the frozen solvers' bits.
bool ordinary_scale(const Matrix& A) {
    double big = 0.0;
    for (double x : A) big = std::max(big, std::fabs(x));
    return big == 0.0 || (big >= 0x1p-500 && big <= 0x1p+500);
}

// For the report: A scaled as the solvers scale it (largest magnitude into
// [1, 2) when outside the ordinary range), so that the frozen solvers show
// whether the late iterations were needed.
Matrix normalized(const Matrix& A) {
    if (ordinary_scale(A)) return A;
    double big = 0.0;
    for (double x : A) big = std::max(big, std::fabs(x));
    Matrix B = A;
    for (double& x : B) x = std::ldexp(x, -std::ilogb(big));
    return B;
}

// For the report: max over dgeev's eigenpairs of
// ||A v - lambda v||_1 / (||A||_1 n eps ||v||_1), on A scaled to norm near 1.
double dgeev_residual(const Matrix& A0, int n) {
    const double anorm0 = norm1(A0, n);
    const int e = anorm0 > 0.0 ? std::ilogb(anorm0) : 0;
    Matrix A = A0;
    for (double& x : A) x = std::scalbn(x, -e);
    Matrix B = A, vr(A.size());
    std::vector<double> wr(n), wi(n);
    LAPACKE_dgeev(LAPACK_ROW_MAJOR, 'N', 'V', n, B.data(), n, wr.data(), wi.data(), nullptr, n, vr.data(), n);
    const double anorm = norm1(A, n);
    double worst = 0.0;
    for (int j = 0; j < n; ++j) {
        const bool pair = wi[j] != 0.0;
        // A pair's vectors are columns j, j+1 as re +- i im.
        std::vector<std::complex<double>> v(n);
        for (int i = 0; i < n; ++i) {
            const double* row = vr.data() + static_cast<std::size_t>(i) * n;
            v[i] = !pair ? std::complex<double>(row[j], 0.0) : wi[j] > 0 ? std::complex<double>(row[j], row[j + 1])
                                              : std::complex<double>(row[j - 1], -row[j]);
        }
        const std::complex<double> lambda(wr[j], wi[j]);
        double rn = 0.0, vn = 0.0;
        for (int i = 0; i < n; ++i) {
            std::complex<double> r = -lambda * v[i];
            for (int k = 0; k < n; ++k) r += A[static_cast<std::size_t>(i) * n + k] * v[k];
            rn += std::abs(r);
            vn += std::abs(v[i]);
        }
        if (anorm > 0.0) worst = std::max(worst, rn / (anorm * n * kEps * vn));
    }
    return worst;
}

using SymmSolver = void (*)(double*, int, double*, double*);
using RefSymm = bool (*)(const double*, int, double*, double*);

const struct {
    const char* name;
    SymmSolver solve;
    RefSymm frozen;
} kSymmSolvers[] = {{"Jacobi", &LA::EigenSymmSystemMsqJ, &ref::eigen_symm_jacobi},
                    {"HQL", &LA::EigenSymmSystemMsqH, &ref::eigen_symm_hql}};

std::string fmt(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3g", x);
    return buf;
}

class EigenTypesSymm : public ::testing::TestWithParam<Case> {};

TEST_P(EigenTypesSymm, ReturnsWithSmallResidualAndOrthonormalVectors) {
    const Case& c = GetParam();
    const int n = c.n;
    const Matrix A = c.make();
    ASSERT_EQ(A.size(), static_cast<std::size_t>(n) * n);
    std::string line = c.name;
    for (const auto& s : kSymmSolvers) {
        Matrix M = A, V(A.size()), w(n);
        s.solve(M.data(), n, w.data(), V.data());
        const SymmRatios r = symm_ratios(A, w, V, n);
        EXPECT_LT(r.residual, 30.0) << s.name << " " << c.name << " seed=" << ref::seed();
        EXPECT_LT(r.orthonormality, 30.0) << s.name << " " << c.name << " seed=" << ref::seed();
        EXPECT_TRUE(std::is_sorted(w.rbegin(), w.rend())) << s.name << " " << c.name;
        // Where the frozen solver converges on a matrix of ordinary scale,
        // the same bits (orders up to 100; the layout tests go further).
        Matrix fw(n), fV(A.size());
        const bool compare = ordinary_scale(A) && n <= 100;
        const bool ok = compare && s.frozen(A.data(), n, fw.data(), fV.data());
        if (ok && compare) {
            EXPECT_TRUE(ref::same_bits(w, fw)) << s.name << " eigenvalues, " << c.name;
            EXPECT_TRUE(ref::same_bits(V, fV)) << s.name << " eigenvectors, " << c.name;
        }
        if (report()) {
            const Matrix An = normalized(A);
            const bool late = !s.frozen(An.data(), n, fw.data(), fV.data());
            line += std::string(" ") + s.name + " " + fmt(r.residual) + " " + fmt(r.orthonormality) +
                    (ordinary_scale(A) ? "" : " scaled") + (late ? " late" : "");
        }
    }
    if (report()) {
        Matrix W = A, w(n);
        LAPACKE_dsyev(LAPACK_ROW_MAJOR, 'V', 'L', n, W.data(), n, w.data());
        const SymmRatios r = symm_ratios(A, w, W, n);
        std::printf("symm %s dsyev %s %s\n", line.c_str(), fmt(r.residual).c_str(), fmt(r.orthonormality).c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Types, EigenTypesSymm, ::testing::ValuesIn(symmetric_cases()),
                         [](const auto& info) {
                             std::string s = info.param.name;
                             for (char& ch : s)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return s;
                         });

// Eigenvalues against dgeevx's, matched greedily as a multiset: each of ours
// must lie within 30 n eps ||B|| / s of its partner, B the balanced matrix
// (its norm at least the smallest normal number)
// and s the partner's reciprocal condition number (so a defective eigenvalue
// of a Jordan block of order k, whose computed copies spread like eps^(1/k),
// gets the room its conditioning asks for). Returns the worst distance over
// that bound, or infinity when something does not match at all.
struct GeneralRatios {
    double worst;
    std::string detail;
};

GeneralRatios general_ratio(const Matrix& A, int n, const std::vector<double>& re, const std::vector<double>& im) {
    // LAPACK on the matrix scaled to norm near 1, back to scale afterwards.
    const double anorm = norm1(A, n);
    const int e = anorm > 0.0 ? std::ilogb(anorm) : 0;
    Matrix B = A, vl(A.size()), vr(A.size());
    for (double& x : B) x = std::scalbn(x, -e);
    std::vector<double> wr(n), wi(n), scale(n), rconde(n), rcondv(n);
    int ilo = 0, ihi = 0;
    double abnrm = 0.0;
    const int info = LAPACKE_dgeevx(LAPACK_ROW_MAJOR, 'B', 'V', 'V', 'E', n, B.data(), n, wr.data(), wi.data(),
                                    vl.data(), n, vr.data(), n, &ilo, &ihi, scale.data(), &abnrm, rconde.data(),
                                    rcondv.data());
    if (info != 0) return {std::numeric_limits<double>::infinity(), "dgeevx info " + std::to_string(info)};
    // All pairs by their ratio, then the closest pairs first.
    struct Pair {
        double ratio;
        int ours, theirs;
    };
    std::vector<Pair> pairs;
    for (int i = 0; i < n; ++i) {
        const std::complex<double> z(std::scalbn(re[i], -e), std::scalbn(im[i], -e));
        for (int j = 0; j < n; ++j) {
            const double bound =
                n * kEps * std::max(abnrm, std::scalbn(DBL_MIN, -e)) / std::max(rconde[j], kEps * kEps);
            const double ratio = std::abs(z - std::complex<double>(wr[j], wi[j])) / bound;
            pairs.push_back({ratio == ratio ? ratio : std::numeric_limits<double>::infinity(), i, j});
        }
    }
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.ratio < b.ratio; });
    std::vector<bool> ours_used(n, false), theirs_used(n, false);
    GeneralRatios out{0.0, ""};
    for (const Pair& p : pairs) {
        if (ours_used[p.ours] || theirs_used[p.theirs]) continue;
        ours_used[p.ours] = theirs_used[p.theirs] = true;
        if (p.ratio >= out.worst) {
            out.worst = p.ratio;
            out.detail = "(" + fmt(re[p.ours]) + ", " + fmt(im[p.ours]) + ") vs (" + fmt(std::scalbn(wr[p.theirs], e)) +
                         ", " + fmt(std::scalbn(wi[p.theirs], e)) + "), 1/cond " + fmt(rconde[p.theirs]);
        }
    }
    return out;
}

class EigenTypesGeneral : public ::testing::TestWithParam<Case> {};

TEST_P(EigenTypesGeneral, ReturnsEigenvaluesMatchingLapack) {
    const Case& c = GetParam();
    const int n = c.n;
    const Matrix A = c.make();
    ASSERT_EQ(A.size(), static_cast<std::size_t>(n) * n);
    Matrix M = A;
    std::vector<double> re(n), im(n);
    LA::EigenUnSymmSystemMsq(M.data(), n, re.data(), im.data());
    const GeneralRatios r = general_ratio(A, n, re, im);
    EXPECT_LT(r.worst, 30.0) << c.name << " worst " << r.detail << " seed=" << ref::seed();
    std::vector<double> fr(n), fi(n);
    const bool compare = ordinary_scale(A);
    const bool ok = compare && ref::eigen_unsymm(A.data(), n, fr.data(), fi.data());
    if (ok && compare) {
        EXPECT_TRUE(ref::same_bits(re, fr)) << "real parts, " << c.name;
        EXPECT_TRUE(ref::same_bits(im, fi)) << "imaginary parts, " << c.name;
    }
    if (report()) {
        const Matrix An = normalized(A);
        const bool late = !ref::eigen_unsymm(An.data(), n, fr.data(), fi.data());
        std::printf("general %s ratio %s dgeev_residual %s%s%s\n", c.name.c_str(), fmt(r.worst).c_str(),
                    fmt(dgeev_residual(A, n)).c_str(), ordinary_scale(A) ? "" : " scaled", late ? " late" : "");
    }
}

INSTANTIATE_TEST_SUITE_P(Types, EigenTypesGeneral, ::testing::ValuesIn(general_cases()),
                         [](const auto& info) {
                             std::string s = info.param.name;
                             for (char& ch : s)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return s;
                         });

} // namespace
