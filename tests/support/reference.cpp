#include "support/reference.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace ref {

std::uint64_t seed() {
    const char* s = std::getenv("LINALG_TEST_SEED");
    return s ? std::strtoull(s, nullptr, 0) : 20261207ULL;
}

std::vector<double> random_vector(std::size_t n, std::uint64_t salt, double lo, double hi) {
    std::mt19937_64 g(seed() ^ (salt * 0x9E3779B97F4A7C15ULL));
    std::uniform_real_distribution<double> d(lo, hi);
    std::vector<double> v(n);
    for (auto& x : v) x = d(g);
    return v;
}

std::vector<double> awkward_vector(std::size_t n, std::uint64_t salt) {
    static const double special[] = {0.0, -0.0, 1.0, -1.0, 4.9e-324, -2.2e-308, 1e-300, 1e300, -1e300,
                                     3.0, 0.1, 1e-8, 7e15, -0.5};
    std::mt19937_64 g(seed() ^ (salt * 0x9E3779B97F4A7C15ULL));
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (auto& x : v) {
        const auto r = g() % 4;
        x = r == 0 ? special[g() % (sizeof special / sizeof special[0])] : d(g) * std::ldexp(1.0, static_cast<int>(g() % 40) - 20);
    }
    return v;
}

void mm(const double* A, int n, int k, const double* B, int m, double* X) {
    for (long i = 0; i < n; ++i)
        for (long j = 0; j < m; ++j) {
            X[i * m + j] = 0.0;
            for (long p = 0; p < k; ++p) X[i * m + j] += A[i * k + p] * B[p * m + j];
        }
}

void mv(const double* M, int rows, const double* V, int cols, double* X) {
    for (long i = 0; i < rows; ++i) {
        X[i] = 0.0;
        for (long j = 0; j < cols; ++j) X[i] += M[i * cols + j] * V[j];
    }
}

void vm(const double* V, int rows, const double* M, int cols, double* X) {
    for (long j = 0; j < cols; ++j) {
        X[j] = 0.0;
        for (long i = 0; i < rows; ++i) X[j] += V[i] * M[i * cols + j];
    }
}

void mm_fma(const double* A, int n, int k, const double* B, int m, double* X) {
    for (long i = 0; i < n; ++i)
        for (long j = 0; j < m; ++j) {
            double s = 0.0;
            for (long p = 0; p < k; ++p) s = std::fma(A[i * k + p], B[p * m + j], s);
            X[i * m + j] = s;
        }
}

void mv_fma(const double* M, int rows, const double* V, int cols, double* X) {
    for (long i = 0; i < rows; ++i) {
        double s = 0.0;
        for (long j = 0; j < cols; ++j) s = std::fma(M[i * cols + j], V[j], s);
        X[i] = s;
    }
}

void vm_fma(const double* V, int rows, const double* M, int cols, double* X) {
    for (long j = 0; j < cols; ++j) {
        double s = 0.0;
        for (long i = 0; i < rows; ++i) s = std::fma(V[i], M[i * cols + j], s);
        X[j] = s;
    }
}

::testing::AssertionResult same_bits(const double* a, const double* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y && !(a[i] != a[i] && b[i] != b[i]))
            return ::testing::AssertionFailure()
                   << "first difference at index " << i << " of " << n << ": " << a[i] << " vs " << b[i];
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << "sizes differ: " << a.size() << " vs " << b.size();
    return same_bits(a.data(), b.data(), a.size());
}

std::vector<double> random_matrix(int n, std::uint64_t salt) {
    auto A = random_vector(static_cast<std::size_t>(n) * n, salt);
    for (int i = 0; i < n; ++i) A[static_cast<std::size_t>(i) * n + i] += (i % 2 ? -1.0 : 1.0) * (0.5 * n + 1.0);
    return A;
}

double norm_inf(const double* A, int n) {
    double best = 0.0;
    for (long i = 0; i < n; ++i) {
        double s = 0.0;
        for (long j = 0; j < n; ++j) s += std::fabs(A[i * n + j]);
        best = std::max(best, s);
    }
    return best;
}

double solve_ratio(const double* A, const double* x, const double* b, int n) {
    double r = 0.0, xn = 0.0;
    for (long i = 0; i < n; ++i) {
        long double s = 0.0L;
        for (long j = 0; j < n; ++j) s += static_cast<long double>(A[i * n + j]) * x[j];
        r = std::max(r, static_cast<double>(std::fabs(s - b[i])));
        xn = std::max(xn, std::fabs(x[i]));
    }
    const double denom = norm_inf(A, n) * xn * n * std::numeric_limits<double>::epsilon();
    return denom > 0 ? r / denom : (r == 0 ? 0.0 : std::numeric_limits<double>::infinity());
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    char tmpl[] = "/tmp/linalg_stdout_XXXXXX";
    fd_ = mkstemp(tmpl);
    path_ = tmpl;
    saved_ = dup(1);
    dup2(fd_, 1);
}

StdoutCapture::~StdoutCapture() { finish(); }

std::string StdoutCapture::finish() {
    if (done_) return {};
    done_ = true;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    std::string out;
    lseek(fd_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd_, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    close(fd_);
    unlink(path_.c_str());
    return out;
}

} // namespace ref
