// linalg beside OpenBLAS / LAPACKE, in one process.
//
// Every benchmark is named  <operation>/<n>/<threads>/<implementation>
// (Google Benchmark appends "/real_time"); the implementation is "linalg" or
// the anchor it is measured against ("openblas", "lapacke", "eigen", "std",
// "memcpy", "reference", "ordinary"). The counters GFLOPs and GBs hold the
// work of one iteration in units of 1e9, so a rate is the counter divided by
// a time.
//
// The results go out through Google Benchmark's own reporters
// (--benchmark_out=F --benchmark_out_format=json); scripts/bench_table.py
// prints the anchor : linalg ratios from that file, and Google Benchmark's
// compare.py compares two such files (before and after a change).
#include "linalg.h"

#include "eigen_anchor.h"

#include <benchmark/benchmark.h>
#include <cblas.h>
#include <lapacke.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

using LinearAlgebra::LA;

namespace {

std::vector<double> random_values(std::size_t n, unsigned seed) {
    std::mt19937_64 g(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (auto& x : v) x = d(g);
    return v;
}

std::size_t sq(int n) { return static_cast<std::size_t>(n) * static_cast<std::size_t>(n); }

// Diagonally dominant: well conditioned, no singular-system messages.
std::vector<double> system_matrix(int n) {
    auto A = random_values(sq(n), 1);
    for (int i = 0; i < n; ++i) A[static_cast<std::size_t>(i) * n + i] += (i % 2 ? -1.0 : 1.0) * n;
    return A;
}

std::vector<double> symmetric_matrix(int n) {
    auto A = random_values(sq(n), 2);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < i; ++j) A[static_cast<std::size_t>(j) * n + i] = A[static_cast<std::size_t>(i) * n + j];
    return A;
}

double cube(int n) { return static_cast<double>(n) * n * n; }

// Benchmark bodies over the operands of one operation at order n; f runs it
// once on them.
template <class F>  // f(A, B, X): a product of two random matrices
std::function<void(benchmark::State&)> product_body(int n, F f) {
    return [n, f](benchmark::State& st) {
        auto A = random_values(sq(n), 3), B = random_values(sq(n), 4);
        std::vector<double> X(sq(n));
        for (auto _ : st) {
            f(A.data(), B.data(), X.data());
            benchmark::DoNotOptimize(X.data());
        }
    };
}
template <class F>  // f(A, X): A a system matrix, X of its size
std::function<void(benchmark::State&)> matrix_body(int n, F f) {
    return [n, f](benchmark::State& st) {
        auto A = system_matrix(n);
        std::vector<double> X(A.size());
        for (auto _ : st) {
            f(A.data(), X.data());
            benchmark::DoNotOptimize(X.data());
        }
    };
}
template <class F>  // f(A, B, X): A x = b, X of n values
std::function<void(benchmark::State&)> system_body(int n, F f) {
    return [n, f](benchmark::State& st) {
        auto A = system_matrix(n), B = random_values(n, 7);
        std::vector<double> X(n);
        for (auto _ : st) {
            f(A.data(), B.data(), X.data());
            benchmark::DoNotOptimize(X.data());
        }
    };
}
template <class F>  // f(W, values, vectors) on a fresh copy W of a symmetric matrix
std::function<void(benchmark::State&)> symmetric_body(int n, F f) {
    return [n, f](benchmark::State& st) {
        auto A = symmetric_matrix(n);
        std::vector<double> W(A.size()), ev(n), evec(A.size());
        for (auto _ : st) {
            std::memcpy(W.data(), A.data(), A.size() * sizeof(double));
            f(W.data(), ev.data(), evec.data());
            benchmark::DoNotOptimize(ev.data());
        }
    };
}

// Registers  op/n/threads/impl.  `work` is the work of one iteration: flops
// (counter GFLOPs) or bytes (counter GBs), 0 for none. A linalg entry with
// two threads sets the library's thread count first; an anchor entry sets
// OpenBLAS's and restores one thread afterwards. Returns the registration.
benchmark::internal::Benchmark* add(const char* op, int n, int threads, const char* impl, const char* counter,
                                    double work, std::function<void(benchmark::State&)> body) {
    const bool linalg = std::strcmp(impl, "linalg") == 0;
    const std::string name = std::string(op) + "/" + std::to_string(n) + "/" + std::to_string(threads) + "/" + impl;
    return benchmark::RegisterBenchmark(name.c_str(),
                                 [=](benchmark::State& st) {
                                     if (linalg && threads > 1) LA::Init_openMP(threads);
                                     if (!linalg) openblas_set_num_threads(threads);
                                     body(st);
                                     if (!linalg) openblas_set_num_threads(1);
                                     if (counter) st.counters[counter] = work * 1e-9;
                                 })
        ->Unit(n < 500 ? benchmark::kMicrosecond : benchmark::kMillisecond)
        ->UseRealTime();
}

// Exported forms (the names are overloaded with the const-input forms).
using mv_fn = void (*)(double*, int, double*, int, double*);
using mm_fn = void (*)(double*, int, int, double*, int, double*);
using solve_fn = void (*)(double*, double*, double*, int);

void register_products() {
    for (int n : {500, 1000, 2000})
        for (int t : {1, 2}) {
            const mm_fn mm = t == 1 ? mm_fn(&LA::MultiplyMM) : mm_fn(&LA::MultiplyMM1);
            add("MultiplyMM", n, t, "linalg", "GFLOPs", 2.0 * cube(n),
                product_body(n, [n, mm](double* A, double* B, double* X) { mm(A, n, n, B, n, X); }));
            add("MultiplyMM", n, t, "openblas", "GFLOPs", 2.0 * cube(n),
                product_body(n, [n](double* A, double* B, double* X) {
                    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0, A, n, B, n, 0.0, X, n);
                }));
        }

    // Matrix-vector (MV) and vector-matrix (VM) products: the same data, the
    // same anchor (dgemv, plain or transposed), M read once per call.
    const int n = 4000;
    const double bytes = 8.0 * sq(n);
    for (bool vm : {false, true})
        for (int t : {1, 2}) {
            const char* op = vm ? "MultiplyVM" : "MultiplyMV";
            const mv_fn f = vm ? (t == 1 ? mv_fn(&LA::MultiplyVM) : mv_fn(&LA::MultiplyVM1))
                               : (t == 1 ? mv_fn(&LA::MultiplyMV) : mv_fn(&LA::MultiplyMV1));
            add(op, n, t, "linalg", "GBs", bytes, [n, vm, f](benchmark::State& st) {
                auto M = random_values(sq(n), 5), V = random_values(n, 6);
                std::vector<double> X(n);
                for (auto _ : st) {
                    if (vm)
                        f(V.data(), n, M.data(), n, X.data());
                    else
                        f(M.data(), n, V.data(), n, X.data());
                    benchmark::DoNotOptimize(X.data());
                }
            });
            add(op, n, t, "openblas", "GBs", bytes, [n, vm](benchmark::State& st) {
                auto M = random_values(sq(n), 5), V = random_values(n, 6);
                std::vector<double> X(n);
                for (auto _ : st) {
                    cblas_dgemv(CblasRowMajor, vm ? CblasTrans : CblasNoTrans, n, n, 1.0, M.data(), n, V.data(), 1,
                                0.0, X.data(), 1);
                    benchmark::DoNotOptimize(X.data());
                }
            });
        }

    // Memory bandwidth of a plain copy of the same matrix, bytes read plus
    // bytes written (as STREAM counts a copy).
    add("copy", n, 1, "memcpy", "GBs", 2 * bytes, [n](benchmark::State& st) {
        auto M = random_values(sq(n), 5);
        std::vector<double> Y(M.size());
        for (auto _ : st) {
            std::memcpy(Y.data(), M.data(), M.size() * sizeof(double));
            benchmark::DoNotOptimize(Y.data());
        }
    });
}

void register_solvers() {
    // SolveLSE on one thread, SolveLSE1 on two; dgesv with as many threads.
    for (int n : {500, 1000, 2000})
        for (int t : {1, 2}) {
            const char* op = t == 1 ? "SolveLSE" : "SolveLSE1";
            const solve_fn solve = t == 1 ? solve_fn(&LA::SolveLSE) : solve_fn(&LA::SolveLSE1);
            add(op, n, t, "linalg", "GFLOPs", 2.0 / 3.0 * cube(n),
                system_body(n, [n, solve](double* A, double* B, double* X) { solve(A, B, X, n); }));
            add(op, n, t, "lapacke", "GFLOPs", 2.0 / 3.0 * cube(n), [n](benchmark::State& st) {
                auto A = system_matrix(n), B = random_values(n, 7);
                std::vector<double> W(A.size()), X(n);
                std::vector<lapack_int> ipiv(n);
                for (auto _ : st) {
                    // The copies are part of the work: dgesv overwrites its inputs.
                    std::memcpy(W.data(), A.data(), A.size() * sizeof(double));
                    std::memcpy(X.data(), B.data(), B.size() * sizeof(double));
                    LAPACKE_dgesv(LAPACK_ROW_MAJOR, n, 1, W.data(), n, ipiv.data(), X.data(), 1);
                    benchmark::DoNotOptimize(X.data());
                }
            });
        }

    const int n = 1000;
    add("InverseMsq", n, 1, "linalg", "GFLOPs", 2.0 * cube(n),
        matrix_body(n, [n](double* A, double* X) { LA::InverseMsq(A, X, n); }));
    add("InverseMsq", n, 1, "lapacke", "GFLOPs", 2.0 * cube(n), [n](benchmark::State& st) {
        auto A = system_matrix(n);
        std::vector<double> X(A.size());
        std::vector<lapack_int> ipiv(n);
        for (auto _ : st) {
            std::memcpy(X.data(), A.data(), A.size() * sizeof(double));
            LAPACKE_dgetrf(LAPACK_ROW_MAJOR, n, n, X.data(), n, ipiv.data());
            LAPACKE_dgetri(LAPACK_ROW_MAJOR, n, X.data(), n, ipiv.data());
            benchmark::DoNotOptimize(X.data());
        }
    });
    add("DeterminantMsq", n, 1, "linalg", "GFLOPs", 2.0 / 3.0 * cube(n), [n](benchmark::State& st) {
        auto A = system_matrix(n);
        for (auto _ : st) benchmark::DoNotOptimize(LA::DeterminantMsq(A.data(), n));
    });
    add("DeterminantMsq", n, 1, "lapacke", "GFLOPs", 2.0 / 3.0 * cube(n), [n](benchmark::State& st) {
        auto A = system_matrix(n);
        std::vector<double> X(A.size());
        std::vector<lapack_int> ipiv(n);
        for (auto _ : st) {
            std::memcpy(X.data(), A.data(), A.size() * sizeof(double));
            LAPACKE_dgetrf(LAPACK_ROW_MAJOR, n, n, X.data(), n, ipiv.data());
            double d = 1.0;
            for (int i = 0; i < n; ++i) d *= (ipiv[i] != i + 1 ? -1.0 : 1.0) * X[static_cast<std::size_t>(i) * n + i];
            benchmark::DoNotOptimize(d);
        }
    });
}

void register_eigen() {
    // Both symmetric solvers against dsyev with eigenvectors; the input is
    // copied every iteration because the solvers overwrite it.
    using eig_fn = void (*)(double*, int, double*, double*);
    for (int n : {200, 500})
        for (bool jacobi : {true, false}) {
            const char* op = jacobi ? "EigenSymmSystemMsqJ" : "EigenSymmSystemMsqH";
            const eig_fn f = jacobi ? eig_fn(&LA::EigenSymmSystemMsqJ) : eig_fn(&LA::EigenSymmSystemMsqH);
            add(op, n, 1, "linalg", nullptr, 0,
                symmetric_body(n, [n, f](double* W, double* ev, double* evec) { f(W, n, ev, evec); }));
            add(op, n, 1, "lapacke", nullptr, 0, [n](benchmark::State& st) {
                auto A = symmetric_matrix(n);
                std::vector<double> W(A.size()), ev(n);
                for (auto _ : st) {
                    std::memcpy(W.data(), A.data(), A.size() * sizeof(double));
                    LAPACKE_dsyev(LAPACK_ROW_MAJOR, 'V', 'U', n, W.data(), n, ev.data());
                    benchmark::DoNotOptimize(ev.data());
                }
            });
        }

    const int n = 300;
    add("EigenUnSymmSystemMsq", n, 1, "linalg", nullptr, 0, [n](benchmark::State& st) {
        auto A = random_values(sq(n), 9);
        std::vector<double> W(A.size()), wr(n), wi(n);
        for (auto _ : st) {
            std::memcpy(W.data(), A.data(), A.size() * sizeof(double));
            LA::EigenUnSymmSystemMsq(W.data(), n, wr.data(), wi.data());
            benchmark::DoNotOptimize(wr.data());
        }
    });
    add("EigenUnSymmSystemMsq", n, 1, "lapacke", nullptr, 0, [n](benchmark::State& st) {
        auto A = random_values(sq(n), 9);
        std::vector<double> W(A.size()), wr(n), wi(n);
        for (auto _ : st) {
            std::memcpy(W.data(), A.data(), A.size() * sizeof(double));
            LAPACKE_dgeev(LAPACK_ROW_MAJOR, 'N', 'N', n, W.data(), n, wr.data(), wi.data(), nullptr, n, nullptr, n);
            benchmark::DoNotOptimize(wr.data());
        }
    });
}

// The symmetric solvers at large orders (only with LINALG_BENCH_EIGEN_SCALE
// set, see scripts/bench_eigen_scale.sh: one round takes minutes) beside
// LAPACKE dsyev (anchor "lapacke", the same class of algorithm) and dsyevd
// (divide and conquer, anchor "dsyevd"), all with eigenvectors. The
// Householder-QL solver at 500 .. 4000, Jacobi at 500 and 1000 (at 2000 it
// would take minutes per call); order 4000 runs one iteration.
void register_eigen_scale() {
    using eig_fn = void (*)(double*, int, double*, double*);
    for (int n : {500, 1000, 2000, 4000}) {
        const auto once = [n](benchmark::internal::Benchmark* b) {
            if (n >= 4000) b->Iterations(1);
        };
        for (bool jacobi : {false, true}) {
            if (jacobi && n > 1000) continue;
            const char* op = jacobi ? "EigenSymmSystemMsqJ" : "EigenSymmSystemMsqH";
            const eig_fn f = jacobi ? eig_fn(&LA::EigenSymmSystemMsqJ) : eig_fn(&LA::EigenSymmSystemMsqH);
            once(add(op, n, 1, "linalg", nullptr, 0,
                     symmetric_body(n, [n, f](double* W, double* ev, double* evec) { f(W, n, ev, evec); })));
        }
        for (bool dc : {false, true})
            once(add("EigenSymmSystemMsqH", n, 1, dc ? "dsyevd" : "lapacke", nullptr, 0,
                     [n, dc](benchmark::State& st) {
                         auto A = symmetric_matrix(n);
                         std::vector<double> W(A.size()), ev(n);
                         for (auto _ : st) {
                             std::memcpy(W.data(), A.data(), A.size() * sizeof(double));
                             if (dc)
                                 LAPACKE_dsyevd(LAPACK_ROW_MAJOR, 'V', 'U', n, W.data(), n, ev.data());
                             else
                                 LAPACKE_dsyev(LAPACK_ROW_MAJOR, 'V', 'U', n, W.data(), n, ev.data());
                             benchmark::DoNotOptimize(ev.data());
                         }
                     }));
    }
}

// One element 1 and every other element of magnitude about 1e-300 (linalg)
// against the same matrix at ordinary scale, the others about 1 (anchor
// "ordinary"): the products in the shift computation of the tiny matrix
// leave the normal range, and the ratio shows what that costs.
std::vector<double> tiny_pattern(int n, double scale) {
    auto A = random_values(sq(n), 11);
    for (auto& x : A) x = (1.5 + 0.5 * x) * scale;
    A[0] = 1.0;
    return A;
}

void register_tiny_unsymmetric() {
    for (int n : {600, 1000})
        for (const char* impl : {"linalg", "ordinary"}) {
            const double scale = std::strcmp(impl, "linalg") == 0 ? 1e-300 : 1.0;
            add("EigenUnSymmTiny", n, 1, impl, nullptr, 0, [n, scale](benchmark::State& st) {
                const auto A = tiny_pattern(n, scale);
                std::vector<double> W(A.size()), wr(n), wi(n);
                for (auto _ : st) {
                    std::memcpy(W.data(), A.data(), A.size() * sizeof(double));
                    LA::EigenUnSymmSystemMsq(W.data(), n, wr.data(), wi.data());
                    benchmark::DoNotOptimize(wr.data());
                }
            });
        }
}

void register_vectors() {
    const int n = 1 << 24;
    add("SumV", n, 1, "linalg", "GBs", 8.0 * n, [n](benchmark::State& st) {
        auto V = random_values(n, 10);
        for (auto _ : st) benchmark::DoNotOptimize(LA::SumV(V.data(), n));
    });
    add("SumV", n, 1, "openblas", "GBs", 8.0 * n, [n](benchmark::State& st) {
        auto V = random_values(n, 10);
        for (auto _ : st) benchmark::DoNotOptimize(cblas_dsum(n, V.data(), 1));
    });
    add("DotVV", n, 1, "linalg", "GBs", 16.0 * n, [n](benchmark::State& st) {
        auto V = random_values(n, 10), U = random_values(n, 11);
        for (auto _ : st) benchmark::DoNotOptimize(LA::DotVV(V.data(), U.data(), n));
    });
    add("DotVV", n, 1, "openblas", "GBs", 16.0 * n, [n](benchmark::State& st) {
        auto V = random_values(n, 10), U = random_values(n, 11);
        for (auto _ : st) benchmark::DoNotOptimize(cblas_ddot(n, V.data(), 1, U.data(), 1));
    });
    // The floor for an in-order sum: one dependent addition per element, with
    // the addend in a register (no memory traffic).
    add("addchain", n, 1, "reference", nullptr, 0, [n](benchmark::State& st) {
        double c = 1e-300;
        benchmark::DoNotOptimize(c);
        for (auto _ : st) {
            double s = 0.0;
            for (int i = 0; i < n; ++i) s += c;
            benchmark::DoNotOptimize(s);
        }
    });
    add("MT_u32", n, 1, "linalg", nullptr, 0, [n](benchmark::State& st) {
        for (auto _ : st) {
            uint32_t s = 0;
            for (int i = 0; i < n; ++i) s ^= LA::MT_u32();
            benchmark::DoNotOptimize(s);
        }
    });
    add("MT_u32", n, 1, "std", nullptr, 0, [n](benchmark::State& st) {
        std::mt19937 g(5489u);
        for (auto _ : st) {
            uint32_t s = 0;
            for (int i = 0; i < n; ++i) s ^= static_cast<uint32_t>(g());
            benchmark::DoNotOptimize(s);
        }
    });
}

// Small orders, 4 to 256, against Eigen (and dgemm for the product): the
// operations whose cost at these sizes is mostly what surrounds the
// arithmetic (dispatch, packing, allocation, scaling).
void register_small() {
    for (int n : {4, 8, 16, 32, 64, 128, 256}) {
        add("MultiplyMM", n, 1, "linalg", "GFLOPs", 2.0 * cube(n),
            product_body(n, [n](double* A, double* B, double* X) { LA::MultiplyMM(A, n, n, B, n, X); }));
        add("MultiplyMM", n, 1, "eigen", "GFLOPs", 2.0 * cube(n),
            product_body(n, [n](double* A, double* B, double* X) { eigen_anchor::multiply_mm(A, B, X, n); }));
        add("MultiplyMM", n, 1, "openblas", "GFLOPs", 2.0 * cube(n),
            product_body(n, [n](double* A, double* B, double* X) {
                cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0, A, n, B, n, 0.0, X, n);
            }));
        // The vector is the first n values of the second operand.
        add("MultiplyMV", n, 1, "linalg", "GBs", 8.0 * sq(n),
            product_body(n, [n](double* M, double* V, double* X) { LA::MultiplyMV(M, n, V, n, X); }));
        add("MultiplyMV", n, 1, "eigen", "GBs", 8.0 * sq(n),
            product_body(n, [n](double* M, double* V, double* X) { eigen_anchor::multiply_mv(M, V, X, n); }));
        add("InverseMsq", n, 1, "linalg", "GFLOPs", 2.0 * cube(n),
            matrix_body(n, [n](double* A, double* X) { LA::InverseMsq(A, X, n); }));
        add("InverseMsq", n, 1, "eigen", "GFLOPs", 2.0 * cube(n),
            matrix_body(n, [n](double* A, double* X) { eigen_anchor::inverse(A, X, n); }));
        add("SolveLSE", n, 1, "linalg", "GFLOPs", 2.0 / 3.0 * cube(n),
            system_body(n, [n](double* A, double* B, double* X) { LA::SolveLSE(A, B, X, n); }));
        add("SolveLSE", n, 1, "eigen", "GFLOPs", 2.0 / 3.0 * cube(n),
            system_body(n, [n](double* A, double* B, double* X) { eigen_anchor::solve(A, B, X, n); }));
        // Both sides take a fresh copy: the library's solver overwrites its input.
        add("EigenSymmSystemMsqH", n, 1, "linalg", nullptr, 0, symmetric_body(n, [n](double* W, double* ev, double* evec) {
                LA::EigenSymmSystemMsqH(W, n, ev, evec);
            }));
        add("EigenSymmSystemMsqH", n, 1, "eigen", nullptr, 0, symmetric_body(n, [n](double* W, double* ev, double* evec) {
                eigen_anchor::symmetric_eigen(W, ev, evec, n);
            }));
    }
}

#if defined(__x86_64__)
// GFLOP/s of this core on 12 independent 256-bit accumulators, issuing
// either a separate vmulpd and vaddpd per term (as the library's kernels
// do) or one vfmadd231pd (as OpenBLAS does); -1 where the CPU lacks the
// instructions. Taken at the start of each run: where both usually match
// (AMD Zen 4), a low first figure means another program shares the core,
// which slows the library's kernels more than OpenBLAS's.
double core_peak_gflops(bool fused) {
    if (!__builtin_cpu_supports("avx2") || (fused && !__builtin_cpu_supports("fma"))) return -1.0;
    constexpr long kLoops = 10000000;
    long n = kLoops;
    const double one = 1.0;
    // Operands 1.0, accumulators from 0.0: no subnormal or special values.
#define PEAK_INIT                                                                                              \
    "vbroadcastsd %1, %%ymm12\n\t vmovapd %%ymm12, %%ymm13\n\t vxorpd %%ymm0, %%ymm0, %%ymm0\n\t"            \
    "vmovapd %%ymm0, %%ymm1\n\t vmovapd %%ymm0, %%ymm2\n\t vmovapd %%ymm0, %%ymm3\n\t"                        \
    "vmovapd %%ymm0, %%ymm4\n\t vmovapd %%ymm0, %%ymm5\n\t vmovapd %%ymm0, %%ymm6\n\t"                        \
    "vmovapd %%ymm0, %%ymm7\n\t vmovapd %%ymm0, %%ymm8\n\t vmovapd %%ymm0, %%ymm9\n\t"                        \
    "vmovapd %%ymm0, %%ymm10\n\t vmovapd %%ymm0, %%ymm11\n\t"
#define PEAK_CLOBBERS                                                                                          \
    "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",    \
        "xmm12", "xmm13", "xmm14", "xmm15"
    const auto t0 = std::chrono::steady_clock::now();
    if (fused) {
#define FMA4(a, b, c, d)                                                                                       \
    "vfmadd231pd %%ymm12, %%ymm13, %%ymm" #a "\n\t vfmadd231pd %%ymm12, %%ymm13, %%ymm" #b                     \
    "\n\t vfmadd231pd %%ymm12, %%ymm13, %%ymm" #c "\n\t vfmadd231pd %%ymm12, %%ymm13, %%ymm" #d "\n\t"
        __asm__ volatile(PEAK_INIT "1:\n\t" FMA4(0, 1, 2, 3) FMA4(4, 5, 6, 7) FMA4(8, 9, 10, 11)
                         "decq %0\n\t jnz 1b\n\t vzeroupper"
                         : "+r"(n)
                         : "m"(one)
                         : PEAK_CLOBBERS);
#undef FMA4
    } else {
#define MULADD2(a, b)                                                                                          \
    "vmulpd %%ymm12, %%ymm13, %%ymm14\n\t vaddpd %%ymm14, %%ymm" #a ", %%ymm" #a                                \
    "\n\t vmulpd %%ymm12, %%ymm13, %%ymm15\n\t vaddpd %%ymm15, %%ymm" #b ", %%ymm" #b "\n\t"
        __asm__ volatile(PEAK_INIT "1:\n\t" MULADD2(0, 1) MULADD2(2, 3) MULADD2(4, 5) MULADD2(6, 7)
                             MULADD2(8, 9) MULADD2(10, 11) "decq %0\n\t jnz 1b\n\t vzeroupper"
                         : "+r"(n)
                         : "m"(one)
                         : PEAK_CLOBBERS);
#undef MULADD2
    }
#undef PEAK_INIT
#undef PEAK_CLOBBERS
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return 12.0 * 4 * 2 * kLoops / s * 1e-9;
}
#else
double core_peak_gflops(bool) { return -1.0; }
#endif

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    openblas_set_num_threads(1);
    benchmark::AddCustomContext("openblas_core", openblas_get_corename());
    benchmark::AddCustomContext("peak_muladd_gflops", std::to_string(core_peak_gflops(false)));
    benchmark::AddCustomContext("peak_fma_gflops", std::to_string(core_peak_gflops(true)));

    if (std::getenv("LINALG_BENCH_EIGEN_SCALE") != nullptr) {
        register_eigen_scale();
    } else {
        register_products();
        register_solvers();
        register_eigen();
        register_tiny_unsymmetric();
        register_vectors();
        register_small();
    }

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
