// The library's main operations timed in one process, for comparing two
// builds of it (Linux and Windows under Wine) on the same machine; see
// scripts/bench_windows.sh. Prints, per operation, the median time of
// several runs and that time divided by the median of an anchor loop
// (separate multiplies and adds on registers, no memory traffic) timed in
// the same process, so that a busy machine shifts both alike.
#include "linalg.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
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

double seconds(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

volatile double sink = 0.5;

volatile double anchor_factor = 0.999999999, anchor_step = 1e-9;

void anchor() {
    double a = sink, b = a + 1.0, c = a + 2.0, d = a + 3.0;
    const double m = anchor_factor, s = anchor_step;
    for (int i = 0; i < 20000000; ++i) {
        a = a * m + s;
        b = b * m + s;
        c = c * m + s;
        d = d * m + s;
    }
    sink = a + b + c + d;
}

} // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::atoi(argv[1]) : 5;
    LA::Init_openMP(2);
    const int n = 1000, m = 400;
    auto A = random_values(std::size_t(n) * n, 1), B = random_values(std::size_t(n) * n, 2);
    auto b = random_values(n, 3), x = std::vector<double>(n), X = std::vector<double>(std::size_t(n) * n);
    for (int i = 0; i < n; ++i) A[std::size_t(i) * n + i] += n;
    auto S = random_values(std::size_t(m) * m, 4);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < i; ++j) S[std::size_t(j) * m + i] = S[std::size_t(i) * m + j];
    std::vector<double> e(m), E(std::size_t(m) * m), W(S.size());
    auto big1 = random_values(std::size_t(1) << 22, 5), big2 = random_values(std::size_t(1) << 22, 6);
    std::vector<double> big3(big1.size());

    struct Op {
        const char* name;
        std::function<void()> run;
    };
    const std::vector<Op> ops = {
        {"anchor", anchor},
        {"MultiplyMM/1000", [&] { LA::MultiplyMM(A.data(), n, n, B.data(), n, X.data()); }},
        {"MultiplyMM1/1000/2t", [&] { LA::MultiplyMM1(A.data(), n, n, B.data(), n, X.data()); }},
        {"SolveLSE/1000", [&] { LA::SolveLSE(A.data(), b.data(), x.data(), n); }},
        {"SolveLSE1/1000/2t", [&] { LA::SolveLSE1(A.data(), b.data(), x.data(), n); }},
        {"InverseMsq/1000", [&] { LA::InverseMsq(A.data(), X.data(), n); }},
        {"DeterminantMsq/1000", [&] { sink = LA::DeterminantMsq(A.data(), n); }},
        {"EigenSymmSystemMsqH/400", [&] { W = S; LA::EigenSymmSystemMsqH(W.data(), m, e.data(), E.data()); }},
        {"EigenUnSymmSystemMsq/400", [&] { W = S; W[1] += 0.5; LA::EigenUnSymmSystemMsq(W.data(), m, e.data(), E.data()); }},
        {"AddVV1/4M/2t", [&] { LA::AddVV1(big1.data(), big2.data(), int(big1.size()), big3.data()); }},
        {"MT_Gauss64/1M", [&] { for (int i = 0; i < 1000000; ++i) sink = LA::MT_Gauss64(0, 1); }},
    };
    std::vector<std::vector<double>> t(ops.size());
    for (int r = 0; r < reps; ++r)
        for (std::size_t k = 0; k < ops.size(); ++k) t[k].push_back(seconds(ops[k].run));
    const double a = median(t[0]);
    for (std::size_t k = 0; k < ops.size(); ++k)
        std::printf("%-26s %10.6f s  %8.4f anchors\n", ops[k].name, median(t[k]), median(t[k]) / a);
    return 0;
}
