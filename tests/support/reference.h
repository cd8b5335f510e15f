// Test support: plain reference loops (the oracle every faster path must
// match bit for bit), reproducible random inputs and LAPACK-style residuals.
#ifndef LINALG_TESTS_REFERENCE_H
#define LINALG_TESTS_REFERENCE_H

#include <cstdint>
#include <random>
#include <string>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace ref {

// The NaN that NaN results are hashed as (the library's fixed NaN, 0x7ff8...).
constexpr double kCanonicalNaN = std::numeric_limits<double>::quiet_NaN();

// Seed of every random input; LINALG_TEST_SEED overrides the fixed default.
std::uint64_t seed();

// n values uniform in [lo, hi) from a generator seeded with seed() ^ salt.
std::vector<double> random_vector(std::size_t n, std::uint64_t salt, double lo = -1.0, double hi = 1.0);

// Awkward values for bit-identity tests: signed zeros, denormals, huge and
// tiny magnitudes mixed with ordinary ones.
std::vector<double> awkward_vector(std::size_t n, std::uint64_t salt);

// Reference loops, written as the plain definitions: each output starts at
// 0.0 and takes its terms in ascending summation index, multiply then add.
void mm(const double* A, int n, int k, const double* B, int m, double* X);
void mv(const double* M, int rows, const double* V, int cols, double* X);
void vm(const double* V, int rows, const double* M, int cols, double* X);

// The same with one std::fma per term (the GPU products).
void mm_fma(const double* A, int n, int k, const double* B, int m, double* X);
void mv_fma(const double* M, int rows, const double* V, int cols, double* X);
void vm_fma(const double* V, int rows, const double* M, int cols, double* X);

// Success when a and b hold the same bits (so -0.0 != 0.0), NaN counting as
// one value: the sign and payload of a NaN made by arithmetic are the
// processor's (docs/numerical-hardening.md); otherwise names the first
// differing index.
::testing::AssertionResult same_bits(const double* a, const double* b, std::size_t n);
::testing::AssertionResult same_bits(const std::vector<double>& a, const std::vector<double>& b);

// Well-conditioned random system: a random matrix with a dominant diagonal
// of random sign, n x n, row-major.
std::vector<double> random_matrix(int n, std::uint64_t salt);

// ||A x - b||_inf / (||A||_inf ||x||_inf n eps): LAPACK's solve ratio.
double solve_ratio(const double* A, const double* x, const double* b, int n);

// Infinity norm of a row-major n x n matrix.
double norm_inf(const double* A, int n);

// Output of a function called in the same process, captured from stdout.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string finish();  // stops capturing and returns what was printed
private:
    int saved_ = -1;
    int fd_ = -1;
    std::string path_;
    bool done_ = false;
};

} // namespace ref

#endif
