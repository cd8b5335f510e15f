// The eigen-solvers against plain copies of their original row-pointer
// implementation (support/ref_eigen): whatever layout the library's solvers
// keep their work matrices in, and whichever instruction set their kernels
// run with, every eigenvalue and eigenvector element must carry the same
// bits. Where the copies do not converge (they end after 30 iterations for
// one eigenvalue) the library must return finite results.
#include "testhooks.h"
#include "linalg.h"
#include "kernels/kernels.h"
#include "support/ref_eigen.h"
#include "support/reference.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

using LinearAlgebra::LA;

namespace {

constexpr double kSentinel = -12345.5;
const int kOrders[] = {1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 31, 33, 64, 65, 100, 257};

using Matrix = std::vector<double>;

Matrix random_symmetric(int n, std::uint64_t salt) {
    Matrix A = ref::random_vector(static_cast<std::size_t>(n) * n, salt);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < i; ++j) A[i * n + j] = A[j * n + i];
    return A;
}

// Where the frozen solver does not converge, the library must now return
// normally with finite results (their accuracy is checked against LAPACK in
// test_eigen_types).
int frozen_failures = 0;  // cases that only the late iterations finish

void expect_finite(const Matrix& out, const std::string& what) {
    for (double x : out) {
        if (!std::isfinite(x)) {
            ADD_FAILURE() << what << ": non-finite output " << x;
            return;
        }
    }
}

// Every solver must leave M as it found it.
void expect_unchanged(const Matrix& before, const Matrix& after, const std::string& what) {
    EXPECT_TRUE(ref::same_bits(before, after)) << what << ": input modified";
}

void check_jacobi(const Matrix& A, int n, const std::string& what) {
    const std::size_t nn = static_cast<std::size_t>(n) * n;
    Matrix wantV(n, kSentinel), wantM(nn, kSentinel);
    const bool converged = ref::eigen_symm_jacobi(A.data(), n, wantV.data(), wantM.data());
    Matrix M = A, gotV(n, kSentinel), gotM(nn, kSentinel);
    LA::EigenSymmSystemMsqJ(M.data(), n, gotV.data(), gotM.data());
    if (!converged) {
        ++frozen_failures;
        expect_finite(gotV, "Jacobi, " + what);
        expect_finite(gotM, "Jacobi, " + what);
        return;
    }
    EXPECT_TRUE(ref::same_bits(gotV, wantV)) << "Jacobi eigenvalues, " << what;
    EXPECT_TRUE(ref::same_bits(gotM, wantM)) << "Jacobi eigenvectors, " << what;
    expect_unchanged(A, M, "Jacobi, " + what);
}

void check_hql(const Matrix& A, int n, const std::string& what) {
    const std::size_t nn = static_cast<std::size_t>(n) * n;
    Matrix wantV(n, kSentinel), wantM(nn, kSentinel);
    const bool converged = ref::eigen_symm_hql(A.data(), n, wantV.data(), wantM.data());
    Matrix M = A, gotV(n, kSentinel), gotM(nn, kSentinel);
    LA::EigenSymmSystemMsqH(M.data(), n, gotV.data(), gotM.data());
    if (!converged) {
        ++frozen_failures;
        expect_finite(gotV, "HQL, " + what);
        expect_finite(gotM, "HQL, " + what);
        return;
    }
    EXPECT_TRUE(ref::same_bits(gotV, wantV)) << "HQL eigenvalues, " << what;
    EXPECT_TRUE(ref::same_bits(gotM, wantM)) << "HQL eigenvectors, " << what;
    expect_unchanged(A, M, "HQL, " + what);
}

void check_unsymm(const Matrix& A, int n, const std::string& what) {
    Matrix wantR(n, kSentinel), wantI(n, kSentinel);
    const bool converged = ref::eigen_unsymm(A.data(), n, wantR.data(), wantI.data());
    Matrix M = A, gotR(n, kSentinel), gotI(n, kSentinel);
    LA::EigenUnSymmSystemMsq(M.data(), n, gotR.data(), gotI.data());
    if (!converged) {
        ++frozen_failures;
        expect_finite(gotR, "unsymmetric, " + what);
        expect_finite(gotI, "unsymmetric, " + what);
        return;
    }
    EXPECT_TRUE(ref::same_bits(gotR, wantR)) << "unsymmetric real parts, " << what;
    EXPECT_TRUE(ref::same_bits(gotI, wantI)) << "unsymmetric imaginary parts, " << what;
    expect_unchanged(A, M, "unsymmetric, " + what);
}

void check_symmetric(const Matrix& A, int n, const std::string& what) {
    check_jacobi(A, n, what);
    check_hql(A, n, what);
}

// A scaled by 2^k: eigenvalues exactly 2^k times those of A, the same
// eigenvectors (A itself of ordinary scale, and no result out of range).
void check_scaled(const Matrix& A, int n, int k, bool symmetric, const std::string& what) {
    const std::size_t nn = static_cast<std::size_t>(n) * n;
    Matrix B = A;
    for (double& x : B) x = std::ldexp(x, k);
    const std::string tag = what + " 2^" + std::to_string(k);
    if (symmetric) {
        using SymmFn = void (*)(double*, int, double*, double*);
        const SymmFn solvers[] = {&LA::EigenSymmSystemMsqJ, &LA::EigenSymmSystemMsqH};
        for (SymmFn solve : solvers) {
            Matrix M = A, w(n), V(nn), Mb = B, wb(n), Vb(nn);
            solve(M.data(), n, w.data(), V.data());
            solve(Mb.data(), n, wb.data(), Vb.data());
            for (double& x : w) x = std::ldexp(x, k);
            EXPECT_TRUE(ref::same_bits(wb, w)) << "eigenvalues, " << tag;
            EXPECT_TRUE(ref::same_bits(Vb, V)) << "eigenvectors, " << tag;
        }
    } else {
        Matrix M = A, re(n), im(n), Mb = B, reb(n), imb(n);
        LA::EigenUnSymmSystemMsq(M.data(), n, re.data(), im.data());
        LA::EigenUnSymmSystemMsq(Mb.data(), n, reb.data(), imb.data());
        for (double& x : re) x = std::ldexp(x, k);
        for (double& x : im) x = std::ldexp(x, k);
        EXPECT_TRUE(ref::same_bits(reb, re)) << "real parts, " << tag;
        EXPECT_TRUE(ref::same_bits(imb, im)) << "imaginary parts, " << tag;
    }
}

// Q diag(values) Q^T with Q a product of Householder reflections built from
// random vectors: a dense symmetric matrix with the chosen spectrum.
Matrix with_spectrum(const std::vector<double>& values, std::uint64_t salt) {
    const int n = static_cast<int>(values.size());
    Matrix A(static_cast<std::size_t>(n) * n, 0.0);
    for (int i = 0; i < n; ++i) A[i * n + i] = values[i];
    for (int r = 0; r < 3; ++r) {
        const Matrix u = ref::random_vector(n, salt + r);
        double uu = 0.0;
        for (double x : u) uu += x * x;
        if (uu == 0.0) continue;
        // A <- H A H with H = I - 2 u u^T / (u^T u).
        Matrix Au(n, 0.0);
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < n; ++k) Au[i] += A[i * n + k] * u[k];
        double uAu = 0.0;
        for (int i = 0; i < n; ++i) uAu += u[i] * Au[i];
        const double c = 2.0 / uu;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                A[i * n + j] += -c * (Au[i] * u[j] + u[i] * Au[j]) + c * c * uAu * u[i] * u[j];
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < i; ++j) A[i * n + j] = A[j * n + i];
    }
    return A;
}

// Each test runs with the kernel table of one instruction set.
class EigenLayout : public ::testing::TestWithParam<linalg::isa> {
protected:
    void SetUp() override {
        if (!linalg::testhooks::force_isa(GetParam()))
            GTEST_SKIP() << "processor cannot run the " << linalg::isa_name(GetParam()) << " path";
    }
    void TearDown() override { linalg::testhooks::reset_isa(); }
};

} // namespace

TEST_P(EigenLayout, SymmetricRandomMatrices) {
    for (int n : kOrders) check_symmetric(random_symmetric(n, 7000 + n), n, "random n=" + std::to_string(n));
}

TEST_P(EigenLayout, GeneralRandomMatrices) {
    for (int n : kOrders)
        check_unsymm(ref::random_vector(static_cast<std::size_t>(n) * n, 8000 + n), n,
                     "random n=" + std::to_string(n));
}

TEST_P(EigenLayout, SymmetricSolversReadOnlyTheirTriangle) {
    // A non-symmetric input: Jacobi mirrors the upper triangle, HQL the lower.
    for (int n : {5, 33, 100}) {
        const Matrix A = ref::random_vector(static_cast<std::size_t>(n) * n, 8500 + n);
        check_symmetric(A, n, "unsymmetric input n=" + std::to_string(n));
    }
}

TEST_P(EigenLayout, RepeatedEigenvalues) {
    for (int n : {2, 3, 8, 33, 100}) {
        const std::string tag = " n=" + std::to_string(n);
        // Identity and a multiple of it: nothing to rotate, ties everywhere.
        Matrix I(static_cast<std::size_t>(n) * n, 0.0);
        for (int i = 0; i < n; ++i) I[i * n + i] = 1.0;
        check_symmetric(I, n, "identity" + tag);
        // All ones: eigenvalue n once and 0 n-1 times.
        check_symmetric(Matrix(static_cast<std::size_t>(n) * n, 1.0), n, "ones" + tag);
        // Dense, with a few clusters of equal eigenvalues.
        std::vector<double> values(n);
        for (int i = 0; i < n; ++i) values[i] = static_cast<double>(i % 3) - 1.0;
        check_symmetric(with_spectrum(values, 9000 + n), n, "three clusters" + tag);
        // The general solver on the same symmetric matrices.
        check_unsymm(with_spectrum(values, 9100 + n), n, "three clusters" + tag);
        check_unsymm(Matrix(static_cast<std::size_t>(n) * n, 1.0), n, "ones" + tag);
    }
}

TEST_P(EigenLayout, GradedMatrices) {
    for (int n : {7, 16, 33, 100}) {
        const std::string tag = " n=" + std::to_string(n);
        Matrix S = random_symmetric(n, 9200 + n);
        Matrix G = ref::random_vector(static_cast<std::size_t>(n) * n, 9300 + n);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                S[i * n + j] *= std::ldexp(1.0, -(i + j) / 2) * (1.0 + 0.25 * ((i * 7 + j * 3) % 5));
                G[i * n + j] *= std::pow(10.0, -0.15 * (i + j));
            }
        // The scaling factors above differ between (i, j) and (j, i): mirror.
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < i; ++j) S[i * n + j] = S[j * n + i];
        check_symmetric(S, n, "graded" + tag);
        check_unsymm(G, n, "graded" + tag);
        // Reversed grading: large entries in the bottom right corner.
        Matrix R(S.size()), RG(G.size());
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                R[i * n + j] = S[(n - 1 - i) * n + (n - 1 - j)];
                RG[i * n + j] = G[(n - 1 - i) * n + (n - 1 - j)];
            }
        check_symmetric(R, n, "reverse graded" + tag);
        check_unsymm(RG, n, "reverse graded" + tag);
        // Scaled near the ends of the exponent range: exactly the scaled
        // results of the matrix as it is (2^-1000 would make the smallest
        // elements subnormal, and the input itself inexact).
        for (int k : {900, -900, 1000}) {
            check_scaled(S, n, k, true, "scaled graded" + tag);
            check_scaled(G, n, k, false, "scaled graded" + tag);
        }
    }
}

TEST_P(EigenLayout, ZeroRowsAndColumns) {
    for (int n : {3, 7, 16, 33, 100}) {
        const std::string tag = " n=" + std::to_string(n);
        Matrix S = random_symmetric(n, 9400 + n);
        Matrix G = ref::random_vector(static_cast<std::size_t>(n) * n, 9500 + n);
        for (int z = 0; z < n; z += 3) {
            for (int k = 0; k < n; ++k) {
                S[z * n + k] = S[k * n + z] = 0.0;
                G[z * n + k] = 0.0;       // a zero row
                G[k * n + (n - 1 - z)] = 0.0;  // and a zero column elsewhere
            }
        }
        check_symmetric(S, n, "zero rows" + tag);
        check_unsymm(G, n, "zero rows and columns" + tag);
        // Whole matrix zero, and a single nonzero element.
        Matrix Z(static_cast<std::size_t>(n) * n, 0.0);
        check_symmetric(Z, n, "zero" + tag);
        check_unsymm(Z, n, "zero" + tag);
        Z[(n - 1) * n + 0] = Z[0 * n + (n - 1)] = 2.5;
        check_symmetric(Z, n, "one pair" + tag);
        check_unsymm(Z, n, "one pair" + tag);
    }
}

TEST_P(EigenLayout, StructuredMatrices) {
    for (int n : {3, 8, 17, 64}) {
        const std::string tag = " n=" + std::to_string(n);
        // Tridiagonal (tred2 has nothing to reduce), diagonal.
        Matrix T(static_cast<std::size_t>(n) * n, 0.0), D(static_cast<std::size_t>(n) * n, 0.0);
        for (int i = 0; i < n; ++i) {
            T[i * n + i] = 2.0;
            D[i * n + i] = std::cos(1.0 + i);
            if (i + 1 < n) T[i * n + i + 1] = T[(i + 1) * n + i] = -1.0;
        }
        check_symmetric(T, n, "tridiagonal" + tag);
        check_symmetric(D, n, "diagonal" + tag);
        check_unsymm(T, n, "tridiagonal" + tag);
        check_unsymm(D, n, "diagonal" + tag);
        // Upper triangular and the cyclic shift (needs exceptional shifts).
        Matrix U = ref::random_vector(static_cast<std::size_t>(n) * n, 9600 + n);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < i; ++j) U[i * n + j] = 0.0;
        check_unsymm(U, n, "upper triangular" + tag);
        Matrix C(static_cast<std::size_t>(n) * n, 0.0);
        for (int i = 0; i < n; ++i) C[i * n + (i + n - 1) % n] = 1.0;
        check_unsymm(C, n, "cyclic shift" + tag);
        // Integer entries: exact cancellations and many exact zeros.
        Matrix K(static_cast<std::size_t>(n) * n);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) K[i * n + j] = static_cast<double>((i * 5 + j * 3) % 4) - 1.0;
        check_unsymm(K, n, "small integers" + tag);
        Matrix KS = K;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < i; ++j) KS[i * n + j] = KS[j * n + i];
        check_symmetric(KS, n, "small integers" + tag);
    }
}

TEST_P(EigenLayout, SmallDirectedGraphs) {
    // Adjacency matrices of random directed graphs (0/1 entries), a few of
    // which need more than 30 iterations for one eigenvalue; a third of them
    // with some entries -1.
    const int before = frozen_failures;
    for (int t = 0; t < 4000; ++t) {
        const int n = 3 + t % 8;
        const Matrix u = ref::random_vector(static_cast<std::size_t>(n) * n, 9700 + t, 0.0, 1.0);
        Matrix A(u.size());
        for (std::size_t k = 0; k < u.size(); ++k) {
            A[k] = u[k] < 0.3 ? 1.0 : 0.0;
            if (t % 3 == 1 && u[k] < 0.1) A[k] = -1.0;
        }
        check_unsymm(A, n, "digraph " + std::to_string(t));
    }
    // The set must exercise the late iterations, or it proves nothing there.
    EXPECT_GT(frozen_failures, before);
}

INSTANTIATE_TEST_SUITE_P(Isa, EigenLayout,
                         ::testing::ValuesIn(linalg::kNativeIsas),
                         [](const ::testing::TestParamInfo<linalg::isa>& p) { return linalg::isa_name(p.param); });
