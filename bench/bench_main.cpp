// linalg beside OpenBLAS / LAPACKE, in one process.
//
// Every benchmark is named  <operation>/<n>/<threads>/<implementation>,
// implementation being "linalg" or the anchor ("openblas", "lapacke",
// "std", "memcpy"). After the run a table of the fastest repetition of each
// benchmark and the linalg : anchor ratios is printed. The anchors can also
// be measured in a second process with another OpenBLAS core
// (OPENBLAS_CORETYPE) and merged in:
//
//   linalg_bench --anchors-only --results-out=F   (second core, anchors only)
//   linalg_bench --anchors-in=F --anchors-label=SkylakeX
//
// linalg functions that this build of the library does not contain yet are
// looked up at run time (dlsym) and their entries are skipped.
#include "linalg.h"

#include <benchmark/benchmark.h>
#include <cblas.h>
#include <lapacke.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

using LinearAlgebra::LA;

namespace {

// ---- linalg functions resolved at run time ---------------------------------------

template <class F>
F lookup(const char* mangled) {
    return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, mangled));
}

using solve_fn = void (*)(double*, double*, double*, int);
using inverse_fn = void (*)(double*, double*, int);
using det_fn = double (*)(double*, int);
using eig_fn = void (*)(double*, int, double*, double*);
using u32_fn = uint32_t (*)();
using init_fn = int (*)(int);
using mm_fn = void (*)(double*, int, int, double*, int, double*);
using mv_fn = void (*)(double*, int, double*, int, double*);

struct Linalg {
    solve_fn solve = lookup<solve_fn>("_ZN13LinearAlgebra2LA8SolveLSEEPdS1_S1_i");
    solve_fn solve1 = lookup<solve_fn>("_ZN13LinearAlgebra2LA9SolveLSE1EPdS1_S1_i");
    inverse_fn inverse = lookup<inverse_fn>("_ZN13LinearAlgebra2LA10InverseMsqEPdS1_i");
    det_fn det = lookup<det_fn>("_ZN13LinearAlgebra2LA14DeterminantMsqEPdi");
    eig_fn eig_j = lookup<eig_fn>("_ZN13LinearAlgebra2LA19EigenSymmSystemMsqJEPdiS1_S1_");
    eig_fn eig_h = lookup<eig_fn>("_ZN13LinearAlgebra2LA19EigenSymmSystemMsqHEPdiS1_S1_");
    eig_fn eig_u = lookup<eig_fn>("_ZN13LinearAlgebra2LA20EigenUnSymmSystemMsqEPdiS1_S1_");
    u32_fn mt_u32 = lookup<u32_fn>("_ZN13LinearAlgebra2LA6MT_u32Ev");
    init_fn init_omp = lookup<init_fn>("_ZN13LinearAlgebra2LA11Init_openMPEi");
    mm_fn mm1 = lookup<mm_fn>("_ZN13LinearAlgebra2LA11MultiplyMM1EPdiiS1_iS1_");
    mv_fn mv1 = lookup<mv_fn>("_ZN13LinearAlgebra2LA11MultiplyMV1EPdiS1_iS1_");
    mv_fn vm1 = lookup<mv_fn>("_ZN13LinearAlgebra2LA11MultiplyVM1EPdiS1_iS1_");
};

const Linalg& la() {
    static const Linalg l;
    return l;
}

// ---- inputs -------------------------------------------------------------------------

std::vector<double> random_values(std::size_t n, unsigned seed) {
    std::mt19937_64 g(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (auto& x : v) x = d(g);
    return v;
}

// Diagonally dominant: well conditioned, no singular-system messages.
std::vector<double> system_matrix(int n) {
    auto A = random_values(static_cast<std::size_t>(n) * n, 1);
    for (int i = 0; i < n; ++i) A[static_cast<std::size_t>(i) * n + i] += (i % 2 ? -1.0 : 1.0) * n;
    return A;
}

std::vector<double> symmetric_matrix(int n) {
    auto A = random_values(static_cast<std::size_t>(n) * n, 2);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < i; ++j) A[static_cast<std::size_t>(j) * n + i] = A[static_cast<std::size_t>(i) * n + j];
    return A;
}

// Work per iteration, in 1e9 units; the table divides by the time.
void set_flops(benchmark::State& st, double flops_per_iter) { st.counters["GFLOPs"] = flops_per_iter * 1e-9; }
void set_bytes(benchmark::State& st, double bytes_per_iter) { st.counters["GBs"] = bytes_per_iter * 1e-9; }

// ---- registration -----------------------------------------------------------------

bool g_anchors_only = false;

void add(const std::string& op, int n, int threads, const std::string& impl,
         std::function<void(benchmark::State&)> fn) {
    if (g_anchors_only && impl == "linalg") return;
    std::ostringstream name;
    name << op << "/" << n << "/" << threads << "/" << impl;
    benchmark::RegisterBenchmark(name.str().c_str(), [fn](benchmark::State& st) { fn(st); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

void blas_threads(int t) { openblas_set_num_threads(t); }

void register_products() {
    for (int n : {500, 1000, 2000}) {
        const double flops = 2.0 * n * n * static_cast<double>(n);
        for (int t : {1, 2}) {
            if (t == 1 || (la().mm1 && la().init_omp))
                add("MultiplyMM", n, t, "linalg", [n, t, flops](benchmark::State& st) {
                    auto A = random_values(static_cast<std::size_t>(n) * n, 3), B = random_values(A.size(), 4);
                    std::vector<double> X(A.size());
                    if (t > 1) la().init_omp(t);
                    for (auto _ : st) {
                        if (t == 1)
                            LA::MultiplyMM(A.data(), n, n, B.data(), n, X.data());
                        else
                            la().mm1(A.data(), n, n, B.data(), n, X.data());
                        benchmark::DoNotOptimize(X.data());
                    }
                    set_flops(st, flops);
                });
            add("MultiplyMM", n, t, "openblas", [n, t, flops](benchmark::State& st) {
                auto A = random_values(static_cast<std::size_t>(n) * n, 3), B = random_values(A.size(), 4);
                std::vector<double> X(A.size());
                blas_threads(t);
                for (auto _ : st) {
                    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0, A.data(), n, B.data(), n,
                                0.0, X.data(), n);
                    benchmark::DoNotOptimize(X.data());
                }
                blas_threads(1);
                set_flops(st, flops);
            });
        }
    }
    // Matrix-vector (trans = false) and vector-matrix (trans = true) products:
    // the same data, the same anchor (dgemv), M read once per call.
    const int n = 4000;
    const double bytes = 8.0 * n * n;
    for (bool trans : {false, true}) {
        const char* op = trans ? "MultiplyVM" : "MultiplyMV";
        for (int t : {1, 2}) {
            const mv_fn seq = trans ? mv_fn(&LA::MultiplyVM) : mv_fn(&LA::MultiplyMV);
            const mv_fn par = trans ? la().vm1 : la().mv1;
            if (t == 1 || (par && la().init_omp))
                add(op, n, t, "linalg", [n, t, trans, seq, par, bytes](benchmark::State& st) {
                    auto M = random_values(static_cast<std::size_t>(n) * n, 5), V = random_values(n, 6);
                    std::vector<double> X(n);
                    if (t > 1) la().init_omp(t);
                    const mv_fn f = t == 1 ? seq : par;
                    for (auto _ : st) {
                        if (trans)
                            f(V.data(), n, M.data(), n, X.data());
                        else
                            f(M.data(), n, V.data(), n, X.data());
                        benchmark::DoNotOptimize(X.data());
                    }
                    set_bytes(st, bytes);
                });
            add(op, n, t, "openblas", [n, t, trans, bytes](benchmark::State& st) {
                auto M = random_values(static_cast<std::size_t>(n) * n, 5), V = random_values(n, 6);
                std::vector<double> X(n);
                blas_threads(t);
                for (auto _ : st) {
                    cblas_dgemv(CblasRowMajor, trans ? CblasTrans : CblasNoTrans, n, n, 1.0, M.data(), n, V.data(), 1,
                                0.0, X.data(), 1);
                    benchmark::DoNotOptimize(X.data());
                }
                blas_threads(1);
                set_bytes(st, bytes);
            });
        }
    }
    // Memory bandwidth of a plain copy of the same 4000 x 4000 matrix, bytes
    // read plus bytes written (as STREAM counts a copy).
    add("copy", n, 1, "memcpy", [n, bytes](benchmark::State& st) {
        auto M = random_values(static_cast<std::size_t>(n) * n, 5);
        std::vector<double> Y(M.size());
        for (auto _ : st) {
            std::memcpy(Y.data(), M.data(), M.size() * sizeof(double));
            benchmark::DoNotOptimize(Y.data());
        }
        set_bytes(st, 2 * bytes);
    });
}

void register_solvers() {
    for (int n : {500, 1000, 2000}) {
        const double flops = 2.0 / 3.0 * n * n * static_cast<double>(n);
        for (int t : {1, 2}) {
            solve_fn f = t == 1 ? la().solve : la().solve1;
            if (f && (t == 1 || la().init_omp))
                add(t == 1 ? "SolveLSE" : "SolveLSE1", n, t, "linalg", [n, t, f, flops](benchmark::State& st) {
                    auto A = system_matrix(n), B = random_values(n, 7);
                    std::vector<double> X(n);
                    if (t > 1) la().init_omp(t);
                    for (auto _ : st) {
                        f(A.data(), B.data(), X.data(), n);
                        benchmark::DoNotOptimize(X.data());
                    }
                    set_flops(st, flops);
                });
            add(t == 1 ? "SolveLSE" : "SolveLSE1", n, t, "lapacke", [n, t, flops](benchmark::State& st) {
                auto A = system_matrix(n), B = random_values(n, 7);
                std::vector<double> W(A.size()), X(n);
                std::vector<lapack_int> ipiv(n);
                blas_threads(t);
                for (auto _ : st) {
                    // The copies are part of the work: dgesv overwrites its inputs.
                    std::memcpy(W.data(), A.data(), A.size() * sizeof(double));
                    std::memcpy(X.data(), B.data(), B.size() * sizeof(double));
                    LAPACKE_dgesv(LAPACK_ROW_MAJOR, n, 1, W.data(), n, ipiv.data(), X.data(), 1);
                    benchmark::DoNotOptimize(X.data());
                }
                blas_threads(1);
                set_flops(st, flops);
            });
        }
    }
    const int n = 1000;
    if (la().inverse)
        add("InverseMsq", n, 1, "linalg", [n](benchmark::State& st) {
            auto A = system_matrix(n);
            std::vector<double> X(A.size());
            for (auto _ : st) {
                la().inverse(A.data(), X.data(), n);
                benchmark::DoNotOptimize(X.data());
            }
            set_flops(st, 2.0 * n * n * static_cast<double>(n));
        });
    add("InverseMsq", n, 1, "lapacke", [n](benchmark::State& st) {
        auto A = system_matrix(n);
        std::vector<double> X(A.size());
        std::vector<lapack_int> ipiv(n);
        for (auto _ : st) {
            std::memcpy(X.data(), A.data(), A.size() * sizeof(double));
            LAPACKE_dgetrf(LAPACK_ROW_MAJOR, n, n, X.data(), n, ipiv.data());
            LAPACKE_dgetri(LAPACK_ROW_MAJOR, n, X.data(), n, ipiv.data());
            benchmark::DoNotOptimize(X.data());
        }
        set_flops(st, 2.0 * n * n * static_cast<double>(n));
    });
    if (la().det)
        add("DeterminantMsq", n, 1, "linalg", [n](benchmark::State& st) {
            auto A = system_matrix(n);
            for (auto _ : st) benchmark::DoNotOptimize(la().det(A.data(), n));
            set_flops(st, 2.0 / 3.0 * n * n * static_cast<double>(n));
        });
    add("DeterminantMsq", n, 1, "lapacke", [n](benchmark::State& st) {
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
        set_flops(st, 2.0 / 3.0 * n * n * static_cast<double>(n));
    });
}

void register_eigen() {
    for (int n : {200, 500}) {
        for (const char* op : {"EigenSymmSystemMsqJ", "EigenSymmSystemMsqH"}) {
            eig_fn f = op[18] == 'J' ? la().eig_j : la().eig_h;
            if (f)
                add(op, n, 1, "linalg", [n, f](benchmark::State& st) {
                    auto A = symmetric_matrix(n);
                    std::vector<double> W(A.size()), ev(n), evec(A.size());
                    for (auto _ : st) {
                        std::memcpy(W.data(), A.data(), A.size() * sizeof(double));
                        f(W.data(), n, ev.data(), evec.data());
                        benchmark::DoNotOptimize(ev.data());
                    }
                });
            add(op, n, 1, "lapacke", [n](benchmark::State& st) {
                auto A = symmetric_matrix(n);
                std::vector<double> W(A.size()), ev(n);
                for (auto _ : st) {
                    std::memcpy(W.data(), A.data(), A.size() * sizeof(double));
                    LAPACKE_dsyev(LAPACK_ROW_MAJOR, 'V', 'U', n, W.data(), n, ev.data());
                    benchmark::DoNotOptimize(ev.data());
                }
            });
        }
    }
    const int n = 300;
    if (la().eig_u)
        add("EigenUnSymmSystemMsq", n, 1, "linalg", [n](benchmark::State& st) {
            auto A = random_values(static_cast<std::size_t>(n) * n, 9);
            std::vector<double> W(A.size()), wr(n), wi(n);
            for (auto _ : st) {
                std::memcpy(W.data(), A.data(), A.size() * sizeof(double));
                la().eig_u(W.data(), n, wr.data(), wi.data());
                benchmark::DoNotOptimize(wr.data());
            }
        });
    add("EigenUnSymmSystemMsq", n, 1, "lapacke", [n](benchmark::State& st) {
        auto A = random_values(static_cast<std::size_t>(n) * n, 9);
        std::vector<double> W(A.size()), wr(n), wi(n);
        for (auto _ : st) {
            std::memcpy(W.data(), A.data(), A.size() * sizeof(double));
            LAPACKE_dgeev(LAPACK_ROW_MAJOR, 'N', 'N', n, W.data(), n, wr.data(), wi.data(), nullptr, n, nullptr, n);
            benchmark::DoNotOptimize(wr.data());
        }
    });
}

void register_vectors() {
    const int n = 1 << 24;
    add("SumV", n, 1, "linalg", [n](benchmark::State& st) {
        auto V = random_values(n, 10);
        for (auto _ : st) benchmark::DoNotOptimize(LA::SumV(V.data(), n));
        set_bytes(st, 8.0 * n);
    });
    add("SumV", n, 1, "openblas", [n](benchmark::State& st) {
        auto V = random_values(n, 10);
        for (auto _ : st) benchmark::DoNotOptimize(cblas_dsum(n, V.data(), 1));
        set_bytes(st, 8.0 * n);
    });
    add("DotVV", n, 1, "linalg", [n](benchmark::State& st) {
        auto V = random_values(n, 10), U = random_values(n, 11);
        for (auto _ : st) benchmark::DoNotOptimize(LA::DotVV(V.data(), U.data(), n));
        set_bytes(st, 16.0 * n);
    });
    add("DotVV", n, 1, "openblas", [n](benchmark::State& st) {
        auto V = random_values(n, 10), U = random_values(n, 11);
        for (auto _ : st) benchmark::DoNotOptimize(cblas_ddot(n, V.data(), 1, U.data(), 1));
        set_bytes(st, 16.0 * n);
    });
    // The floor for an in-order sum: one dependent addition per element, with
    // the addend in a register (no memory traffic).
    add("addchain", n, 1, "reference", [n](benchmark::State& st) {
        double c = 1e-300;
        benchmark::DoNotOptimize(c);
        for (auto _ : st) {
            double s = 0.0;
            for (int i = 0; i < n; ++i) s += c;
            benchmark::DoNotOptimize(s);
        }
    });
    if (la().mt_u32)
        add("MT_u32", n, 1, "linalg", [n](benchmark::State& st) {
            for (auto _ : st) {
                uint32_t s = 0;
                for (int i = 0; i < n; ++i) s ^= la().mt_u32();
                benchmark::DoNotOptimize(s);
            }
        });
    add("MT_u32", n, 1, "std", [n](benchmark::State& st) {
        std::mt19937 g(5489u);
        for (auto _ : st) {
            uint32_t s = 0;
            for (int i = 0; i < n; ++i) s ^= static_cast<uint32_t>(g());
            benchmark::DoNotOptimize(s);
        }
    });
}

// ---- result table ------------------------------------------------------------------

struct Key {
    std::string op;
    int n, threads;
    bool operator<(const Key& o) const {
        return std::make_tuple(order(), op, n, threads) < std::make_tuple(o.order(), o.op, o.n, o.threads);
    }
    int order() const {
        static const char* ops[] = {"MultiplyMM",          "MultiplyMV",          "MultiplyVM", "copy",
                                    "SolveLSE",            "SolveLSE1",           "InverseMsq", "DeterminantMsq",
                                    "EigenSymmSystemMsqJ", "EigenSymmSystemMsqH", "EigenUnSymmSystemMsq",
                                    "SumV",                "DotVV",               "MT_u32",
                                    "addchain"};
        for (int i = 0; i < 15; ++i)
            if (op == ops[i]) return i;
        return 99;
    }
};

bool split(const std::string& name, Key& k, std::string& impl) {
    std::vector<std::string> parts;
    std::stringstream ss(name);
    std::string p;
    while (std::getline(ss, p, '/')) parts.push_back(p);
    if (parts.size() != 4) return false;
    k.op = parts[0];
    k.n = std::stoi(parts[1]);
    k.threads = std::stoi(parts[2]);
    impl = parts[3];
    return true;
}

struct Result {
    double seconds = 0;  // fastest repetition, per iteration (see below)
    double wall = 0;     // wall-clock time of that repetition
    double gflops = 0, gbs = 0;
};

class Collector : public benchmark::ConsoleReporter {
public:
    Collector() : benchmark::ConsoleReporter(OO_Tabular) {}
    std::map<std::string, Result> results;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
            const std::string name = r.run_name.function_name;
            // One-thread entries are timed by the process's CPU time, which
            // other programs on a shared machine disturb less than the wall
            // clock; multi-threaded ones by the wall clock.
            Key k;
            std::string impl;
            const bool one_thread = split(name, k, impl) && k.threads == 1;
            const double s = (one_thread ? r.GetAdjustedCPUTime() : r.GetAdjustedRealTime()) * 1e-3;  // ms
            auto it = results.find(name);
            if (it != results.end() && it->second.seconds <= s) continue;
            Result res;
            res.seconds = s;
            res.wall = r.GetAdjustedRealTime() * 1e-3;
            // The counters hold work per iteration (rates are formed here,
            // against the chosen time).
            auto f = r.counters.find("GFLOPs");
            if (f != r.counters.end()) res.gflops = f->second.value / s;
            auto b = r.counters.find("GBs");
            if (b != r.counters.end()) res.gbs = b->second.value / s;
            results[name] = res;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string fmt_time(double s) {
    char buf[32];
    if (s <= 0) return "-";
    std::snprintf(buf, sizeof buf, "%.3f", s * 1e3);
    return buf;
}

void print_table(const std::map<std::string, Result>& mine, const std::map<std::string, Result>& other,
                 const std::string& core, const std::string& other_core) {
    struct Row {
        Result linalg, anchor, anchor2;
        std::string anchor_name;
    };
    std::map<Key, Row> rows;
    auto take = [&](const std::map<std::string, Result>& src, bool second) {
        for (const auto& [name, r] : src) {
            Key k;
            std::string impl;
            if (!split(name, k, impl)) continue;
            Row& row = rows[k];
            if (impl == "linalg") {
                if (!second) row.linalg = r;
            } else {
                row.anchor_name = impl;
                (second ? row.anchor2 : row.anchor) = r;
            }
        }
    };
    take(mine, false);
    take(other, true);

    std::printf("\nOpenBLAS core as installed: %s", core.c_str());
    std::printf(" (one-thread times are CPU time, two-thread times wall-clock time)");
    if (!other_core.empty()) std::printf("; second anchor run: %s", other_core.c_str());
    std::printf("\nTimes in ms (fastest repetition). ratio = anchor time / linalg time against the faster anchor "
                "(1.00 = as fast, 0.50 = half as fast).\n\n");
    std::printf("%-22s %9s %3s %11s %11s %11s %-8s %7s %10s\n", "operation", "n", "thr", "linalg", "anchor",
                other_core.empty() ? "-" : "anchor2", "anchor", "ratio", "linalg-rate");
    double copy_gbs = 0, chain_ns = 0;
    for (const auto& [k, row] : rows) {
        if (k.op == "copy") copy_gbs = row.anchor.gbs;
        if (k.op == "addchain" && k.n > 0) chain_ns = row.anchor.seconds * 1e9 / k.n;
    }
    double lse[2] = {0, 0};  // SolveLSE and SolveLSE1 wall clock at n = 2000
    double mm1[4] = {0, 0, 0, 0};  // n=1000/2000, 1 and 2 threads
    for (const auto& [k, row] : rows) {
        double best = row.anchor.seconds;
        if (row.anchor2.seconds > 0 && (best <= 0 || row.anchor2.seconds < best)) best = row.anchor2.seconds;
        char ratio[16] = "-", rate[32] = "";
        if (row.linalg.seconds > 0 && best > 0) std::snprintf(ratio, sizeof ratio, "%.2f", best / row.linalg.seconds);
        if (row.linalg.gflops > 0) std::snprintf(rate, sizeof rate, "%.1f GF/s", row.linalg.gflops);
        if (row.linalg.gbs > 0) std::snprintf(rate, sizeof rate, "%.1f GB/s", row.linalg.gbs);
        if (k.op == "copy") std::snprintf(rate, sizeof rate, "%.1f GB/s", row.anchor.gbs);
        std::printf("%-22s %9d %3d %11s %11s %11s %-8s %7s %10s\n", k.op.c_str(), k.n, k.threads,
                    row.linalg.seconds > 0 ? fmt_time(row.linalg.seconds).c_str() : "skipped",
                    fmt_time(row.anchor.seconds).c_str(), fmt_time(row.anchor2.seconds).c_str(),
                    row.anchor_name.c_str(), ratio, rate);
        if ((k.op == "SolveLSE" || k.op == "SolveLSE1") && k.n == 2000) lse[k.op == "SolveLSE1"] = row.linalg.wall;
        if (k.op == "MultiplyMM" && (k.n == 1000 || k.n == 2000))
            mm1[(k.n == 2000 ? 2 : 0) + (k.threads == 2 ? 1 : 0)] = row.linalg.wall;
    }
    std::printf("\n");
    for (int i = 0; i < 2; ++i)
        if (mm1[2 * i] > 0 && mm1[2 * i + 1] > 0)
            std::printf("MultiplyMM1 on 2 threads vs MultiplyMM (wall clock), n = %d: %.2fx\n", i ? 2000 : 1000,
                        mm1[2 * i] / mm1[2 * i + 1]);
    if (lse[0] > 0 && lse[1] > 0)
        std::printf("SolveLSE1 on 2 threads vs SolveLSE (wall clock), n = 2000: %.2fx\n", lse[0] / lse[1]);
    for (const char* op : {"SumV", "DotVV"})
        for (const auto& [k, row] : rows)
            if (k.op == op && row.linalg.seconds > 0 && chain_ns > 0)
                std::printf("%s n = %d: %.3f ns per element = %.2f x one dependent add (%.3f ns)\n", op, k.n,
                            row.linalg.seconds * 1e9 / k.n, row.linalg.seconds * 1e9 / k.n / chain_ns, chain_ns);
    for (const char* op : {"MultiplyMV", "MultiplyVM"})
        for (const auto& [k, row] : rows)
            if (k.op == op && k.threads == 1 && row.linalg.gbs > 0 && copy_gbs > 0)
                std::printf("%s n = %d: %.1f GB/s read = %.2f x copy bandwidth (%.1f GB/s read + written)\n", op, k.n,
                            row.linalg.gbs, row.linalg.gbs / copy_gbs, copy_gbs);
}

void write_results(const std::string& path, const std::map<std::string, Result>& r, const std::string& core) {
    std::ofstream f(path);
    f << "#core " << core << "\n";
    for (const auto& [name, res] : r)
        f << name << " " << res.seconds << " " << res.wall << " " << res.gflops << " " << res.gbs << "\n";
}

std::map<std::string, Result> read_results(const std::string& path, std::string& core) {
    std::map<std::string, Result> r;
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("#core ", 0) == 0) {
            core = line.substr(6);
            continue;
        }
        std::istringstream ss(line);
        std::string name;
        Result res;
        if (ss >> name >> res.seconds >> res.wall >> res.gflops >> res.gbs) r[name] = res;
    }
    return r;
}

} // namespace

int main(int argc, char** argv) {
    std::string out, in;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--anchors-only")
            g_anchors_only = true;
        else if (a.rfind("--results-out=", 0) == 0)
            out = a.substr(14);
        else if (a.rfind("--anchors-in=", 0) == 0)
            in = a.substr(13);
        else
            args.push_back(argv[i]);
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());

    openblas_set_num_threads(1);
    const std::string core = openblas_get_corename();
    std::printf("OpenBLAS core: %s, linalg functions found: solvers %s, OpenMP %s, eigen %s, MT %s\n", core.c_str(),
                la().solve ? "yes" : "no", la().init_omp ? "yes" : "no", la().eig_j ? "yes" : "no",
                la().mt_u32 ? "yes" : "no");

    register_products();
    register_solvers();
    register_eigen();
    register_vectors();

    Collector rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    benchmark::Shutdown();

    if (!out.empty()) write_results(out, rep.results, core);
    std::string other_core;
    std::map<std::string, Result> other;
    if (!in.empty()) other = read_results(in, other_core);
    if (!g_anchors_only) print_table(rep.results, other, core, other_core);
    return 0;
}
