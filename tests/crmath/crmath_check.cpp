// Offline checks of the library's ln, sin and cos (base/crmath.h); not run
// by CTest (scripts/crmath_exhaustive.sh runs it).
//
//   crmath_check exhaustive STRIDE THREADS
//     every STRIDE-th k in 1 .. 2^32 - 1 (STRIDE 1: all of them): u = k/(2^32-1)
//     through ln and theta = u * 6.283185307179586 through sincos. Counts the
//     arguments whose fast rounding test does not decide, checks the slow
//     stage decides them and equals MPFR, and checks the fast results of one
//     k in 4096 against MPFR too.
//   crmath_check gauss N
//     N draws of LA::MT_Gauss64(0, 1) from the default seed against the same
//     formula with the C library's log, sin and cos; every draw that differs
//     is explained by the C library's function not being correctly rounded.
//   crmath_check speed ROUNDS
//     CPU time per draw of LA::MT_Gauss64 against the same draw computed with
//     the C library's log, sin and cos (the library's generator for both),
//     interleaved rounds of 10^6 draws; prints the medians and their ratio.
#include <mpfr.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testhooks.h"
#include "base/crmath.h"
#include "linalg.h"
#include "random/mt19937.h"

namespace {

enum { kLog, kSin, kCos, kFns };
const char* const kNames[kFns] = {"log", "sin", "cos"};

double mpfr_ref(int f, double x) {
    mpfr_t a, y;
    mpfr_inits2(53, a, y, static_cast<mpfr_ptr>(nullptr));
    mpfr_set_d(a, x, MPFR_RNDN);
    if (f == kLog) mpfr_log(y, a, MPFR_RNDN);
    else if (f == kSin) mpfr_sin(y, a, MPFR_RNDN);
    else mpfr_cos(y, a, MPFR_RNDN);
    const double r = mpfr_get_d(y, MPFR_RNDN);
    mpfr_clears(a, y, static_cast<mpfr_ptr>(nullptr));
    return r;
}

struct Counts {
    std::uint64_t args = 0;
    std::uint64_t fast_undecided[kFns] = {};
    std::uint64_t slow_undecided[kFns] = {};
    std::uint64_t slow_wrong[kFns] = {};
    std::uint64_t sampled = 0;
    std::uint64_t fast_wrong[kFns] = {};
};

void check_slow(int f, double x, double got, bool decided, Counts& c) {
    ++c.fast_undecided[f];
    if (!decided) {
        ++c.slow_undecided[f];
        std::printf("slow stage undecided: %s(%a)\n", kNames[f], x);
    }
    if (got != mpfr_ref(f, x)) {
        ++c.slow_wrong[f];
        std::printf("slow stage wrong: %s(%a) = %a, MPFR %a\n", kNames[f], x, got, mpfr_ref(f, x));
    }
}

void range(std::uint64_t first, std::uint64_t stride, std::uint64_t step, Counts& c) {
    using namespace linalg::crmath_detail;
    for (std::uint64_t k = first; k <= 0xffffffffull; k += step) {
        ++c.args;
        const double u = linalg::u32_to_real1a(static_cast<std::uint32_t>(k));
        const double theta = u * 6.283185307179586;
        double y, s, co, ys, ss, cs;
        const bool log_ok = log_fast(u, &y);
        const int sc_ok = sincos_fast(theta, &s, &co);
        if (!log_ok) check_slow(kLog, u, ys, log_slow(u, &ys), c);
        if (sc_ok != 3) {
            const int slow_ok = sincos_slow(theta, &ss, &cs);
            if (!(sc_ok & 1)) check_slow(kSin, theta, ss, slow_ok & 1, c);
            if (!(sc_ok & 2)) check_slow(kCos, theta, cs, (slow_ok & 2) != 0, c);
        }
        if ((k / stride) % 4096 == 0) {
            ++c.sampled;
            if (log_ok && y != mpfr_ref(kLog, u)) ++c.fast_wrong[kLog];
            if ((sc_ok & 1) && s != mpfr_ref(kSin, theta)) ++c.fast_wrong[kSin];
            if ((sc_ok & 2) && co != mpfr_ref(kCos, theta)) ++c.fast_wrong[kCos];
        }
    }
}

int exhaustive(std::uint64_t stride, int threads) {
    std::vector<Counts> counts(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back(range, 1 + t * stride, stride, stride * threads, std::ref(counts[t]));
    for (auto& th : pool) th.join();
    Counts all;
    for (const Counts& c : counts) {
        all.args += c.args;
        all.sampled += c.sampled;
        for (int f = 0; f < kFns; ++f) {
            all.fast_undecided[f] += c.fast_undecided[f];
            all.slow_undecided[f] += c.slow_undecided[f];
            all.slow_wrong[f] += c.slow_wrong[f];
            all.fast_wrong[f] += c.fast_wrong[f];
        }
    }
    std::printf("arguments: %llu (every %llu-th k), fast results checked against MPFR: %llu\n",
                static_cast<unsigned long long>(all.args), static_cast<unsigned long long>(stride),
                static_cast<unsigned long long>(all.sampled));
    int bad = 0;
    for (int f = 0; f < kFns; ++f) {
        std::printf("%s: fast test undecided %llu, slow test undecided %llu, slow != MPFR %llu, fast != MPFR %llu\n",
                    kNames[f], static_cast<unsigned long long>(all.fast_undecided[f]),
                    static_cast<unsigned long long>(all.slow_undecided[f]),
                    static_cast<unsigned long long>(all.slow_wrong[f]),
                    static_cast<unsigned long long>(all.fast_wrong[f]));
        bad += all.slow_undecided[f] + all.slow_wrong[f] + all.fast_wrong[f] ? 1 : 0;
    }
    return bad ? 1 : 0;
}

int gauss(long n) {
    linalg::testhooks::reset_generator();
    std::mt19937 ref(5489u);
    long differ = 0, unexplained = 0, ours_wrong = 0;
    long because[kFns] = {};
    for (long i = 0; i < n; i += 2) {
        const double u1 = linalg::u32_to_real1a(ref()), u2 = linalg::u32_to_real1a(ref());
        const double theta = u2 * 6.283185307179586;
        const double lg = std::log(u1), sg = std::sin(theta), cg = std::cos(theta);
        const double r = std::sqrt(lg * -2.0);
        const double old[2] = {cg * r, sg * r};
        const double now[2] = {LinearAlgebra::LA::MT_Gauss64(0.0, 1.0), LinearAlgebra::LA::MT_Gauss64(0.0, 1.0)};
        const double lm = mpfr_ref(kLog, u1), sm = mpfr_ref(kSin, theta), cm = mpfr_ref(kCos, theta);
        const double rm = std::sqrt(lm * -2.0);
        if (now[0] != cm * rm || now[1] != sm * rm) ++ours_wrong;
        for (int d = 0; d < 2 && d < n - i; ++d) {
            if (std::memcmp(&old[d], &now[d], sizeof(double)) == 0) continue;
            ++differ;
            const bool log_off = lg != lm, trig_off = d == 0 ? cg != cm : sg != sm;
            if (log_off) ++because[kLog];
            if (trig_off) ++because[d == 0 ? kCos : kSin];
            if (!log_off && !trig_off) ++unexplained;
        }
    }
    std::printf("draws: %ld, differing from the C library's formula: %ld (%.4f %%)\n", n, differ, 100.0 * differ / n);
    std::printf("  with the C library's log not correctly rounded: %ld, its cos: %ld, its sin: %ld\n",
                because[kLog], because[kCos], because[kSin]);
    std::printf("  differing although all three were correctly rounded: %ld\n", unexplained);
    std::printf("draws not equal to the formula with MPFR's log, sin, cos: %ld\n", ours_wrong);
    return unexplained || ours_wrong ? 1 : 0;
}

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The draw as it was computed with the C library's functions (no cache).
double gauss_c_library() {
    const double u1 = linalg::genrand_real1a(), u2 = linalg::genrand_real1a();
    const double r = std::sqrt(std::log(u1) * -2.0);
    const double theta = u2 * 6.283185307179586;
    return std::cos(theta) * r + std::sin(theta) * r;
}

int speed(int rounds) {
    std::vector<double> ours, theirs;
    volatile double sink = 0.0;
    for (int k = 0; k < rounds; ++k) {
        double t0 = cpu_seconds();
        double acc = 0.0;
        for (int i = 0; i < 1000000; ++i) acc += LinearAlgebra::LA::MT_Gauss64(0.0, 1.0);
        double t1 = cpu_seconds();
        ours.push_back((t1 - t0) * 1e3);  // ns per draw
        t0 = cpu_seconds();
        for (int i = 0; i < 500000; ++i) acc += gauss_c_library();  // two draws each
        t1 = cpu_seconds();
        theirs.push_back((t1 - t0) * 1e3);
        sink = acc;
    }
    (void)sink;
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    const double a = ours[ours.size() / 2], b = theirs[theirs.size() / 2];
    std::printf("MT_Gauss64 per draw, median of %d rounds (CPU time): own log/sincos %.2f ns, C library's %.2f ns, ratio %.3f\n",
                rounds, a, b, a / b);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "exhaustive" && argc == 4) return exhaustive(std::strtoull(argv[2], nullptr, 10), std::atoi(argv[3]));
    if (mode == "gauss" && argc == 3) return gauss(std::atol(argv[2]));
    if (mode == "speed" && argc == 3) return speed(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: crmath_check exhaustive STRIDE THREADS | gauss N | speed ROUNDS\n");
    return 2;
}
