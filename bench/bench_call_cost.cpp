// Cost per call of two builds of liblinalg in one process: each build is
// loaded with dlmopen into a namespace of its own, so both export the same
// names without clashing, and every benchmark runs once per build under
// Google Benchmark's random interleaving. scripts/bench_call_cost.sh builds
// the older library and prints the medians and their ratios.
//
// Usage: linalg_bench_call_cost <name>=<path to liblinalg.so> ... [benchmark flags]
#include <benchmark/benchmark.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using AddVV = void (*)(double*, double*, int, double*);
using SolveLSE = void (*)(double*, double*, double*, int);
using Report = void (*)(int, const char*);
using Version = const char* (*)();

struct Build {
    std::string name;
    AddVV add = nullptr;
    SolveLSE solve = nullptr;
    Report report = nullptr;  // builds from 1.1.0 on
    Version version = nullptr;
};

template <class F>
F symbol(void* lib, const char* mangled) {
    void* p = dlsym(lib, mangled);
    if (!p) std::fprintf(stderr, "missing %s: %s\n", mangled, dlerror());
    return reinterpret_cast<F>(p);
}

void add_vv(benchmark::State& state, AddVV f) {
    double a[8], b[8], x[8];
    for (int i = 0; i < 8; ++i) a[i] = b[i] = 0.5 * i;
    for (auto _ : state) {
        f(a, b, 8, x);
        benchmark::DoNotOptimize(x);
        benchmark::ClobberMemory();
    }
}

// Diagnostics::Report(Error::None, nullptr): an exported call whose whole
// work is the one thread-local status store every failing-capable function
// now makes, so its time bounds that store's cost from above.
void status_store(benchmark::State& state, Report f) {
    for (auto _ : state) {
        f(0, nullptr);
        benchmark::ClobberMemory();
    }
}

// Diagnostics::Version(): the same exported call without the store (anchor).
void plain_call(benchmark::State& state, Version f) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(f());
        benchmark::ClobberMemory();
    }
}

void solve_lse(benchmark::State& state, SolveLSE f) {
    double A[16], B[4], X[4];
    for (int i = 0; i < 16; ++i) A[i] = (i % 5 == 0) ? 4.0 : 0.25 * (i % 3);
    for (int i = 0; i < 4; ++i) B[i] = 1.0 + i;
    for (auto _ : state) {
        f(A, B, X, 4);
        benchmark::DoNotOptimize(X);
        benchmark::ClobberMemory();
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<Build> builds;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (argv[i][0] == '-' || !eq) {
            rest.push_back(argv[i]);
            continue;
        }
        void* lib = dlmopen(LM_ID_NEWLM, eq + 1, RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            std::fprintf(stderr, "%s\n", dlerror());
            return 1;
        }
        Build b;
        b.name.assign(argv[i], static_cast<std::size_t>(eq - argv[i]));
        b.add = symbol<AddVV>(lib, "_ZN13LinearAlgebra2LA5AddVVEPdS1_iS1_");
        b.solve = symbol<SolveLSE>(lib, "_ZN13LinearAlgebra2LA8SolveLSEEPdS1_S1_i");
        if (!b.add || !b.solve) return 1;
        b.report = reinterpret_cast<Report>(dlsym(lib, "_ZN13LinearAlgebra11Diagnostics6ReportENS_5ErrorEPKc"));
        b.version = reinterpret_cast<Version>(dlsym(lib, "_ZN13LinearAlgebra11Diagnostics7VersionEv"));
        builds.push_back(b);
    }
    for (const Build& b : builds) {
        benchmark::RegisterBenchmark(("AddVV/8/" + b.name).c_str(), add_vv, b.add);
        benchmark::RegisterBenchmark(("SolveLSE/4/" + b.name).c_str(), solve_lse, b.solve);
        if (b.report) benchmark::RegisterBenchmark(("StatusStore/0/" + b.name).c_str(), status_store, b.report);
        if (b.version) benchmark::RegisterBenchmark(("PlainCall/0/" + b.name).c_str(), plain_call, b.version);
    }
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
