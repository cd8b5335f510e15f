// The kernel layer: every kernel of every instruction-set table bit for bit
// the reference table (one body per kernel, instantiated per set); the
// public products on every set against the plain loops of tests/support;
// the choice of the table (LINALG_ISA).
#include "testhooks.h"
#include "linalg.h"
#include "kernels/kernels.h"
#include "base/work_memory.h"
#include "support/reference.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <omp.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

// The objdump that reads the library's machine code, and the emulator a
// cross-built program runs under (tests/CMakeLists.txt).
#ifndef LINALG_OBJDUMP
#define LINALG_OBJDUMP "objdump"
#endif
#ifndef LINALG_TEST_EMULATOR
#define LINALG_TEST_EMULATOR ""
#endif

using LinearAlgebra::LA;
using linalg::isa;

namespace {

constexpr double kSentinel = -12345.5;

std::vector<double> garbage(std::size_t n) {
    // Outputs start as NaN: a kernel that accumulated onto the stored value
    // instead of 0.0 would show it.
    return std::vector<double>(n, std::numeric_limits<double>::quiet_NaN());
}

struct IsaGuard {
    explicit IsaGuard(isa level) { ok = linalg::testhooks::force_isa(level); }
    ~IsaGuard() { linalg::testhooks::reset_isa(); }
    bool ok = false;
};

using linalg::isa_name;
// The sets of the architecture under test.
const auto& kAllIsas = linalg::kNativeIsas;

struct Shape {
    int n, k, m;
};

// Shapes around the edges of every tile: micro-tile rows (4, 6, 8, 12) and
// columns (4, 8, 16), the summation slice (256), the row block (96, 192),
// the packed column chunk (64) and the column block (1024, 2048), plus 1, 7,
// 13, 777 and non-square ones.
const Shape kShapes[] = {
    {1, 1, 1},     {1, 7, 13},    {7, 7, 7},       {13, 13, 13},  {13, 1, 17},   {3, 0, 5},
    {4, 4, 4},     {5, 3, 9},     {8, 8, 8},       {9, 17, 15},   {8, 16, 16},   {16, 9, 17},
    {31, 255, 33}, {17, 256, 24}, {9, 257, 25},    {95, 20, 23},  {96, 31, 8},   {97, 40, 41},
    {191, 33, 17}, {192, 9, 16},  {193, 260, 31},  {2, 777, 3},   {777, 3, 2},   {60, 513, 70},
    {5, 6, 1023},  {3, 5, 1024},  {6, 300, 1025},  {9, 7, 2047},  {2, 9, 2048},  {10, 259, 2049},
    {777, 31, 13}, {120, 120, 120}, {6, 512, 64},  {12, 257, 63},  {197, 513, 65}, {385, 29, 129},
    {37, 53, 29},  {13, 513, 17},  {11, 40, 9},     {23, 7, 8},    {24, 260, 16}, {25, 33, 40},
};

// Operands of awkward values, A (n x k) and B (k x m), and their product by
// the plain loop.
struct Product {
    std::vector<double> A, B, want;
};
Product awkward_product(int n, int k, int m, std::uint64_t salt_a, std::uint64_t salt_b) {
    Product p{ref::awkward_vector(static_cast<size_t>(n) * k, salt_a),
              ref::awkward_vector(static_cast<size_t>(k) * m, salt_b), std::vector<double>(static_cast<size_t>(n) * m)};
    ref::mm(p.A.data(), n, k, p.B.data(), m, p.want.data());
    return p;
}

void set_threads(int threads) {
    ref::StdoutCapture quiet;
    ASSERT_EQ(LA::Init_openMP(threads), 0);
}

class Kernels : public ::testing::TestWithParam<isa> {
protected:
    void SetUp() override {
        guard_ = std::make_unique<IsaGuard>(GetParam());
        if (!guard_->ok) GTEST_SKIP() << "processor cannot run the " << isa_name(GetParam()) << " path";
        ASSERT_EQ(linalg::kernels().level, GetParam());
    }
    std::unique_ptr<IsaGuard> guard_;
};

TEST_P(Kernels, MultiplyMMMatchesPlainLoop) {
    for (const Shape& s : kShapes) {
        SCOPED_TRACE(testing::Message() << s.n << " x " << s.k << " x " << s.m);
        auto [A, B, want] = awkward_product(s.n, s.k, s.m, 101 + s.n, 202 + s.m);
        std::vector<double> got = garbage(want.size());
        LA::MultiplyMM(A.data(), s.n, s.k, B.data(), s.m, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));
        // The packed kernel itself, also on the small shapes that the
        // public function hands to the plain loop.
        got = garbage(want.size());
        linalg::kernels().mm_rows(A.data(), s.k, B.data(), s.m, got.data(), 0, s.n);
        ASSERT_TRUE(ref::same_bits(want, got));
    }
}

// Shapes at the edges of the table's own blocks (its tile, slice depth,
// row block, column block and the direct path's bound), which differ from
// table to table.
TEST_P(Kernels, ProductsAtTheTablesOwnBlockEdgesMatchPlainLoop) {
    const linalg::kernel_blocking& b = linalg::kernels().blocking;
    ASSERT_GE(b.mr, 1);
    ASSERT_GE(b.nr, 1);
    ASSERT_GE(b.rm_rows, 1);
    EXPECT_EQ(b.row_unit % b.rm_rows, 0) << "pieces of whole row tiles";
    const int mr = static_cast<int>(b.mr), nr = static_cast<int>(b.nr), kc = static_cast<int>(b.kc);
    const int mc = static_cast<int>(b.mc), nc = static_cast<int>(b.nc);
    // The direct path's bound n*k*m, met exactly and passed by one row.
    const int dk = 4, dm = 16, dn = static_cast<int>(std::min<long>(b.direct_products / (dk * dm), 4096));
    std::vector<Shape> shapes = {{mr - 1 > 0 ? mr - 1 : 1, kc + 1, nr + 1}, {mr + 1, kc - 1 > 0 ? kc - 1 : 1, nr - 1 > 0 ? nr - 1 : 1},
                                 {2 * mr + 1, 2 * kc + 1, 3 * nr}, {mc + 1, 17, 2 * nr + 3}, {mc - 1 > 0 ? mc - 1 : 1, kc, nr},
                                 {dn, dk, dm}, {dn + 1, dk, dm}};
    if (nc > 0) shapes.push_back({mr + 3, 9, nc + nr + 1});
    for (const Shape& s : shapes) {
        SCOPED_TRACE(testing::Message() << s.n << " x " << s.k << " x " << s.m);
        auto [A, B, want] = awkward_product(s.n, s.k, s.m, 303 + s.n, 404 + s.k);
        std::vector<double> got = garbage(want.size());
        LA::MultiplyMM(A.data(), s.n, s.k, B.data(), s.m, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));
    }
}

TEST_P(Kernels, MultiplyMMOfOrdinaryValuesMatchesPlainLoop) {
    // Random values without specials, so that rounding differences of a
    // reordered or fused sum cannot hide behind infinities and zeros.
    for (const Shape& s : {Shape{67, 300, 45}, Shape{200, 520, 130}}) {
        auto A = ref::random_vector(static_cast<size_t>(s.n) * s.k, 7);
        auto B = ref::random_vector(static_cast<size_t>(s.k) * s.m, 8);
        std::vector<double> want(static_cast<size_t>(s.n) * s.m), got = garbage(want.size());
        ref::mm(A.data(), s.n, s.k, B.data(), s.m, want.data());
        LA::MultiplyMM(A.data(), s.n, s.k, B.data(), s.m, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));
        std::vector<double> fused(want.size());
        ref::mm_fma(A.data(), s.n, s.k, B.data(), s.m, fused.data());
        EXPECT_FALSE(ref::same_bits(fused, got)) << "inputs too tame to tell a fused sum apart";
    }
}

TEST_P(Kernels, RowRangesGiveTheBitsOfTheWholeProduct) {
    const int n = 203, k = 300, m = 77;
    auto A = ref::awkward_vector(static_cast<size_t>(n) * k, 31);
    auto B = ref::awkward_vector(static_cast<size_t>(k) * m, 32);
    std::vector<double> whole(static_cast<size_t>(n) * m);
    linalg::mm_rows(A.data(), k, B.data(), m, whole.data(), 0, n);
    for (int parts : {2, 3, 7, 203}) {
        std::vector<double> split = garbage(whole.size());
        for (int t = 0; t < parts; ++t)
            linalg::mm_rows(A.data(), k, B.data(), m, split.data(), static_cast<linalg::idx>(n) * t / parts,
                            static_cast<linalg::idx>(n) * (t + 1) / parts);
        ASSERT_TRUE(ref::same_bits(whole, split)) << parts << " parts";
    }
    // A range writes its own rows and nothing else.
    std::vector<double> part(whole.size(), kSentinel);
    linalg::mm_rows(A.data(), k, B.data(), m, part.data(), 50, 61);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < m; ++j) {
            const size_t e = static_cast<size_t>(i) * m + j;
            if (i >= 50 && i < 61)
                ASSERT_TRUE(ref::same_bits(&whole[e], &part[e], 1));
            else
                ASSERT_EQ(part[e], kSentinel);
        }
}

// A product of more than one row block takes one work block for B's packed
// slice (per call, so per thread of MultiplyMM1). When that block is refused
// the product packs per row block instead: same bits, nothing printed,
// nothing left allocated. Matrix-vector products and the elimination update
// allocate nothing.
TEST_P(Kernels, ProductsFallBackSilentlyWhenPackingMemoryIsRefused) {
    // 400 rows: more than one row block also for each of two threads; two
    // summation slices; column chunks with a ragged last micro-panel.
    const int n = 400, k = 270, m = 333;
    Product p = awkward_product(n, k, m, 41, 42);  // named members: the lambda below captures them
    auto &A = p.A, &B = p.B, &want = p.want;
    set_threads(2);
    const std::pair<const char*, void (*)(double*, int, int, double*, int, double*)> products[] = {
        {"MultiplyMM", LA::MultiplyMM}, {"MultiplyMM1", LA::MultiplyMM1}};
    const long long held = linalg::testhooks::blocks_held();
    for (const auto& product : products) {
        SCOPED_TRACE(product.first);
        auto run = [&] {
            std::vector<double> got = garbage(want.size());
            ref::StdoutCapture cap;
            product.second(A.data(), n, k, B.data(), m, got.data());
            EXPECT_EQ(cap.finish(), "");
            EXPECT_TRUE(ref::same_bits(want, got));
            EXPECT_EQ(linalg::testhooks::blocks_held(), held);
        };
        linalg::testhooks::reset_alloc_counters();
        run();
        const long long calls = linalg::testhooks::alloc_calls();
        EXPECT_LE(calls, 2);  // at most one block per thread
        // Every table's blocked product packs B's slices once (so the
        // refusals below exercise its fallback); the plain loops (the
        // generic set) pack nothing.
        if (linalg::kernels().mm_team_fn)
            EXPECT_GE(calls, 1);
        else
            EXPECT_EQ(calls, 0);
        for (long long f = 1; f <= calls; ++f) {
            SCOPED_TRACE(testing::Message() << "allocation " << f << " refused");
            linalg::testhooks::fail_alloc_at(f);
            run();
        }
    }
    linalg::testhooks::reset_alloc_counters();
    std::vector<double> out(static_cast<size_t>(n) * m);
    LA::MultiplyMV(B.data(), k, B.data(), m, out.data());
    LA::MultiplyVM(A.data(), k, B.data(), m, out.data());
    std::vector<double> G(static_cast<size_t>(n) * 16), U(16 * 16);
    linalg::kernels().rm_update(out.data(), m, n, 16, G.data(), n, U.data(), 16 * 16, 16);
    EXPECT_EQ(linalg::testhooks::alloc_calls(), 0);
    linalg::testhooks::reset_alloc_counters();
}

// MultiplyMM1 on a product of a few hundred rows: the threads share one
// packed copy of each slice of B (one work block for the whole team, where
// the table packs), whatever the thread count; columns past one column
// block and a ragged summation slice; the bits of the plain loop.
TEST_P(Kernels, ThreadsSharingPackedSlicesGiveThePlainLoopsBits) {
    const int n = 300, k = 270, m = 1030;
    auto [A, B, want] = awkward_product(n, k, m, 43, 44);
    for (int threads : {1, 2, 3, 4}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        set_threads(threads);
        std::vector<double> got = garbage(want.size());
        linalg::testhooks::reset_alloc_counters();
        LA::MultiplyMM1(A.data(), n, k, B.data(), m, got.data());
        EXPECT_EQ(linalg::testhooks::alloc_calls(), linalg::kernels().mm_team_fn ? 1 : 0);  // one block per team
        EXPECT_TRUE(ref::same_bits(want, got));
    }
    linalg::testhooks::reset_alloc_counters();
}

// A barrier after which thread 1 of the team sleeps: by the time it looks
// for rows of a slice, thread 0 has run its own and taken over thread 1's.
void barrier_holding_up_thread_1() {
#pragma omp barrier
    if (omp_get_thread_num() == 1) usleep(10000);
}

// The team product where one thread falls behind on every slice: the rows
// it has not started are run by the other, with the plain loop's bits.
TEST_P(Kernels, TeamTakesOverTheRowsOfAThreadHeldUp) {
    if (!linalg::kernels().mm_team_fn) GTEST_SKIP() << "this table has no team product";
    const int n = 300, k = 270, m = 1030;
    auto [A, B, want] = awkward_product(n, k, m, 45, 46);
    std::vector<linalg::team_range> range(2);
    std::vector<double> slice(linalg::packed_slice_bytes(linalg::kernels().blocking, k, m) / sizeof(double) + 1);
    double* Bs = linalg::align64(slice.data());
    linalg::team_rows team{barrier_holding_up_thread_1, range.data()};
    std::vector<double> got = garbage(want.size());
#pragma omp parallel num_threads(2)
    linalg::kernels().mm_team(A.data(), k, B.data(), m, got.data(), n, Bs, omp_get_thread_num(),
                              omp_get_num_threads(), &team);
    EXPECT_TRUE(ref::same_bits(want, got));
}

TEST_P(Kernels, MatrixVectorProductsMatchPlainLoops) {
    // M is n x k; M*v and u*M against the plain loops.
    auto check = [](std::vector<double> M, std::vector<double> v, std::vector<double> u, int n, int k) {
        std::vector<double> want(n), got = garbage(n);
        ref::mv(M.data(), n, v.data(), k, want.data());
        LA::MultiplyMV(M.data(), n, v.data(), k, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));
        std::vector<double> wantT(k), gotT = garbage(k);
        ref::vm(u.data(), n, M.data(), k, wantT.data());
        LA::MultiplyVM(u.data(), n, M.data(), k, gotT.data());
        ASSERT_TRUE(ref::same_bits(wantT, gotT));
    };
    for (const Shape& s : kShapes) {
        SCOPED_TRACE(testing::Message() << s.n << " x " << s.k);
        check(ref::awkward_vector(static_cast<size_t>(s.n) * s.k, 51 + s.k), ref::awkward_vector(s.k, 52),
              ref::awkward_vector(s.n, 53), s.n, s.k);
    }
    // Long rows and columns, and row counts that are not a multiple of the
    // eight rows MultiplyVM adds per pass.
    for (const Shape& s : {Shape{33, 4001, 0}, Shape{4001, 35, 0}}) {
        SCOPED_TRACE(testing::Message() << s.n << " x " << s.k);
        check(ref::random_vector(static_cast<size_t>(s.n) * s.k, 54), ref::random_vector(s.k, 55),
              ref::random_vector(s.n, 56), s.n, s.k);
    }
}

TEST_P(Kernels, RangesOfMatrixVectorProductsMatchTheWhole) {
    const int n = 301, k = 157;
    auto M = ref::awkward_vector(static_cast<size_t>(n) * k, 61);
    auto v = ref::awkward_vector(k, 62);
    auto u = ref::awkward_vector(n, 63);
    std::vector<double> want(n), wantT(k);
    ref::mv(M.data(), n, v.data(), k, want.data());
    ref::vm(u.data(), n, M.data(), k, wantT.data());
    std::vector<double> got = garbage(n), gotT = garbage(k);
    for (int t = 0; t < 5; ++t) {
        linalg::mv_rows(M.data(), v.data(), k, got.data(), n * t / 5, n * (t + 1) / 5);
        linalg::vm_cols(u.data(), n, M.data(), k, gotT.data(), k * t / 5, k * (t + 1) / 5);
    }
    EXPECT_TRUE(ref::same_bits(want, got));
    EXPECT_TRUE(ref::same_bits(wantT, gotT));
}

TEST_P(Kernels, CrossAndTransposeMatchPlainLoops) {
    for (const Shape& s : kShapes) {
        SCOPED_TRACE(testing::Message() << s.n << " x " << s.m);
        auto a = ref::awkward_vector(s.n, 71);
        auto b = ref::awkward_vector(s.m, 72);
        std::vector<double> want(static_cast<size_t>(s.n) * s.m), got = garbage(want.size());
        for (int i = 0; i < s.n; ++i)
            for (int j = 0; j < s.m; ++j) want[static_cast<size_t>(i) * s.m + j] = a[i] * b[j];
        LA::CrossVV(a.data(), s.n, b.data(), s.m, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));

        auto M = ref::awkward_vector(static_cast<size_t>(s.n) * s.m, 73);
        std::vector<double> wantT(M.size()), gotT = garbage(M.size());
        for (int i = 0; i < s.n; ++i)
            for (int j = 0; j < s.m; ++j)
                wantT[static_cast<size_t>(j) * s.n + i] = M[static_cast<size_t>(i) * s.m + j];
        LA::TransposeM(M.data(), s.n, s.m, gotT.data());
        ASSERT_TRUE(ref::same_bits(wantT, gotT));
    }
}

TEST_P(Kernels, ElementWiseMatchFormulasAndWorkInPlace) {
    for (int n : {1, 2, 3, 7, 8, 13, 17, 64, 777, 4099}) {
        SCOPED_TRACE(n);
        auto a = ref::awkward_vector(n, 81);
        auto b = ref::awkward_vector(n, 82);
        const double S = -3.0e-200;
        std::vector<double> want(n), got = garbage(n);
        for (int i = 0; i < n; ++i) want[i] = a[i] * S;
        LA::MultiplyVS(a.data(), n, S, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));
        LA::MultiplyMS(a.data(), 1, n, S, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));
        for (int i = 0; i < n; ++i) want[i] = a[i] + b[i];
        LA::AddVV(a.data(), b.data(), n, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));
        LA::AddMM(a.data(), b.data(), n, 1, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));
        for (int i = 0; i < n; ++i) want[i] = a[i] - b[i];
        LA::SubstractVV(a.data(), b.data(), n, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));
        LA::SubstractMM(a.data(), b.data(), 1, n, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));
        for (int i = 0; i < n; ++i) want[i] = a[i] * b[i];
        LA::TableMultiplyVV(a.data(), b.data(), n, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));
        std::vector<double> inplace = a;
        LA::TableMultiplyVV(inplace.data(), b.data(), n, inplace.data());
        ASSERT_TRUE(ref::same_bits(want, inplace));
        inplace = b;
        for (int i = 0; i < n; ++i) want[i] = a[i] - b[i];
        LA::SubstractVV(a.data(), inplace.data(), n, inplace.data());
        ASSERT_TRUE(ref::same_bits(want, inplace));
    }
}

TEST_P(Kernels, EmptySizesWriteNothingOrZeros) {
    double a[4] = {1.0, 2.0, 3.0, 4.0};
    for (int n : {0, -1, -100}) {
        std::vector<double> x(8, kSentinel);
        LA::MultiplyMM(a, n, 2, a, 2, x.data());
        LA::MultiplyMM(a, 2, 2, a, n, x.data());
        LA::MultiplyMV(a, n, a, 2, x.data());
        LA::MultiplyVM(a, 2, a, n, x.data());
        LA::CrossVV(a, n, a, 2, x.data());
        LA::TransposeM(a, 2, n, x.data());
        LA::AddVV(a, a, n, x.data());
        EXPECT_EQ(x, std::vector<double>(8, kSentinel));
        // An empty summation index still writes 0.0 everywhere.
        LA::MultiplyMM(a, 2, n, a, 3, x.data());
        for (int i = 0; i < 6; ++i) EXPECT_TRUE(ref::same_bits(&x[i], std::vector<double>{0.0}.data(), 1));
        EXPECT_EQ(x[6], kSentinel);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, Kernels, ::testing::ValuesIn(kAllIsas),
                         [](const ::testing::TestParamInfo<isa>& p) { return std::string(isa_name(p.param)); });

TEST(KernelDispatch, AutomaticChoiceIsTheWidestSupportedPath) {
    linalg::testhooks::reset_isa();
    if (std::getenv("LINALG_ISA") == nullptr) {
        EXPECT_EQ(linalg::kernels().level, linalg::default_isa());
    }
    const isa d = linalg::default_isa();
    EXPECT_TRUE(linalg::isa_supported(d));
#if defined(__x86_64__) || defined(__i386__)
    // Only the vendor chooses between the two AVX-512 sets.
    if (linalg::isa_supported(isa::avx512)) {
        EXPECT_TRUE(d == isa::avx512 || d == isa::avx512_256) << isa_name(d);
    } else {
        EXPECT_EQ(d, linalg::isa_supported(isa::avx2) ? isa::avx2 : isa::sse2);
    }
    EXPECT_TRUE(linalg::isa_supported(isa::sse2));
    EXPECT_EQ(linalg::isa_supported(isa::avx512), linalg::isa_supported(isa::avx512_256));
#elif defined(__aarch64__)
    EXPECT_EQ(d, isa::neon);
    EXPECT_TRUE(linalg::isa_supported(isa::generic));
#endif
    // The sets of other architectures never run here.
    for (int i = 0; i < linalg::kIsaCount; ++i) {
        const isa level = static_cast<isa>(i);
        if (std::find(std::begin(kAllIsas), std::end(kAllIsas), level) == std::end(kAllIsas)) {
            EXPECT_FALSE(linalg::isa_supported(level)) << isa_name(level);
        }
    }
}

// The GPU kernels (src/cuda/kernels.cuh): the host emulation calls fma()
// where the device code means one, and on aarch64 the compiler turns that
// call into an instruction.
std::vector<std::string> gpu_kernel_names() {
    std::vector<std::string> names;
    FILE* f = std::fopen(LINALG_SOURCE_DIR "/src/cuda/kernels.cuh", "r");
    if (f == nullptr) return names;
    char line[512];
    while (std::fgets(line, sizeof line, f))
        if (const char* g = std::strstr(line, "__global__ void ")) {
            const std::string rest = g + std::strlen("__global__ void ");
            names.push_back(rest.substr(0, rest.find('(')));
        }
    std::fclose(f);
    return names;
}

// No fused multiply-add may reach the library: its code is disassembled (by
// the objdump of the library's architecture) and searched for any FMA
// instruction of x86 or aarch64, outside the GPU emulation's kernels.
TEST(KernelBuild, LibraryContainsNoFusedMultiplyAdd) {
    const std::string cmd =
        std::string(LINALG_OBJDUMP " -d --no-show-raw-insn '") + LINALG_SHARED_LIB + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    const std::vector<std::string> gpu = gpu_kernel_names();
    char line[512];
    long lines = 0, wide_lines = 0;
    std::string fused, function;
    while (std::fgets(line, sizeof line, p)) {
        ++lines;
        const char* open = std::strchr(line, '<');
        if (const char* close = std::strstr(line, ">:\n"); close != nullptr && open != nullptr && open < close)
            function.assign(open + 1, static_cast<std::size_t>(close - open - 1));
#if defined(__aarch64__)
        // "  addr:\tmnemonic\toperands": fmadd, fmsub, fnmadd, fnmsub and the
        // vector fmla, fmls (by element, long forms included).
        const char* tab = std::strchr(line, '\t');
        if (tab == nullptr) continue;
        const std::string op(tab + 1, std::strcspn(tab + 1, "\t\n"));
        if (op.find(".2d") != std::string::npos || std::strstr(tab, ".2d") != nullptr) ++wide_lines;
        const bool is_fused = op == "fmadd" || op == "fmsub" || op == "fnmadd" || op == "fnmsub" ||
                              op.rfind("fmla", 0) == 0 || op.rfind("fmls", 0) == 0;
        if (is_fused) {
            bool in_gpu_kernel = false;
            for (const std::string& g : gpu)
                if (function.find(std::to_string(g.size()) + g) != std::string::npos) in_gpu_kernel = true;
            if (!in_gpu_kernel && fused.size() < 2000) fused += function + ": " + line;
        }
#else
        if (std::strstr(line, "zmm")) ++wide_lines;
        if (std::strstr(line, "vfmadd") || std::strstr(line, "vfmsub") || std::strstr(line, "vfnmadd") ||
            std::strstr(line, "vfnmsub"))
            if (fused.size() < 2000) fused += line;
#endif
    }
    const int rc = pclose(p);
    if (rc != 0 || lines == 0) GTEST_SKIP() << "objdump not available";
#if defined(__aarch64__)
    EXPECT_FALSE(gpu.empty()) << "the GPU kernels' names were not found";
    EXPECT_GT(wide_lines, 0) << "the Advanced SIMD kernels are missing from the library";
#else
    EXPECT_GT(wide_lines, 0) << "the AVX-512 kernels are missing from the library";
#endif
    EXPECT_TRUE(fused.empty()) << fused;
}

// ---- every kernel of every table against the reference table ----------------

using Table = linalg::kernel_table;
using linalg::idx;
using Out = std::vector<double>;

// Awkward values (signed zeros, subnormals, huge and tiny magnitudes) and
// NaN-filled outputs with a margin, so that a term taken onto a stale value
// or a write past the end shows.
std::vector<double> input(idx n, std::uint64_t salt) { return ref::awkward_vector(static_cast<size_t>(n), salt); }
void append(Out& out, const std::vector<double>& v) { out.insert(out.end(), v.begin(), v.end()); }

// Each runs one kernel of `t` over many shapes and returns everything it
// wrote (whole output buffers, margins included).
Out run_products(const Table& t, int which) {
    Out out;
    for (const Shape& s : kShapes) {
        const idx n = s.n, k = s.k, m = s.m;
        const auto A = input(n * k, 1 + n), B = input(k * m, 2 + m), v = input(k, 3), u = input(n, 4);
        const auto M = input(n * m, 5), w = input(m, 6);
        for (idx r0 : {idx{0}, n / 3}) {  // whole range, then a part of it
            std::vector<double> X;
            switch (which) {
            case 0: X = garbage(n * m + 8); t.mm_rows(A.data(), k, B.data(), m, X.data(), r0, n); break;
            case 1: X = garbage(n + 8); t.mv_rows(A.data(), v.data(), k, X.data(), r0, n); break;
            case 2: X = garbage(k + 8); t.vm_cols(u.data(), n, A.data(), k, X.data(), r0 * k / (n ? n : 1), k); break;
            case 3: X = garbage(n * m + 8); t.cross_rows(u.data(), w.data(), m, X.data(), r0, n); break;
            case 4: X = garbage(n * m + 8); t.transpose_rows(M.data(), n, m, X.data(), r0, n); break;
            case 5: X = garbage(n * m + 8); t.mm_direct(A.data(), k, B.data(), m, X.data(), r0, n); break;
            }
            append(out, X);
        }
    }
    return out;
}

Out run_elementwise(const Table& t, int which) {
    Out out;
    for (idx n : {0, 1, 2, 3, 7, 8, 13, 17, 64, 777, 4099}) {
        const auto a = input(n, 11 + n), b = input(n, 12 + n);
        auto X = garbage(n + 8), Y = a;  // Y: in place, X == first input
        for (std::vector<double>* x : {&X, &Y}) {
            switch (which) {
            case 0: t.scale(x == &X ? a.data() : x->data(), -3.0e-200, x->data(), 0, n); break;
            case 1: t.add(x == &X ? a.data() : x->data(), b.data(), x->data(), 0, n); break;
            case 2: t.sub(x == &X ? a.data() : x->data(), b.data(), x->data(), 0, n); break;
            case 3: t.mul(x == &X ? a.data() : x->data(), b.data(), x->data(), 0, n); break;
            }
            append(out, *x);
        }
    }
    return out;
}

// Blocks with leading dimensions wider than the block, and the packed panel
// layout of rm_update; shapes around every row and column tile, the k
// unrolling by 4, and (m 205, kb 130) several row blocks of packed
// multipliers.
Out run_update(const Table& t, int which) {
    const bool row_major = which == 0;
    Out out;
    for (idx m : {0, 1, 3, 11, 12, 13, 25, 40, 100, 205})
        for (idx nc : {0, 1, 7, 16, 17, 33, 48, 70})
            for (idx kb : {0, 1, 4, 5, 7, 9, 64, 130}) {
                const idx ldg = m + 2;
                const auto G = input((kb + 1) * ldg, 21 + m);
                if (row_major) {
                    const idx ldc = nc + 3, ups = (kb + 1) * linalg::kPanelCols;
                    const idx panels = (nc + linalg::kPanelCols - 1) / linalg::kPanelCols;
                    const auto U = input((panels ? panels : 1) * ups, 22 + nc);
                    auto C = input(m * ldc + 5, 23 + kb);
                    t.rm_update(C.data(), ldc, m, nc, G.data(), ldg, U.data(), ups, kb);
                    append(out, C);
                } else {
                    const idx ldc = m + 3, ldu = kb + 2;
                    const auto U = input((nc ? nc : 1) * ldu, 24 + nc);
                    auto C = input(nc * ldc + 5, 25 + kb);
                    t.cm_update(C.data(), ldc, m, nc, G.data(), ldg, U.data(), ldu, kb);
                    append(out, C);
                }
            }
    return out;
}

Out run_eigen(const Table& t, int which) {
    Out out;
    const double c = 0.8, s = -0.6, tau = 0.375, q = -1.25, r = 0.5, x = 3.0, y = -0.125, z = 1e-3;
    for (idx n : {0, 1, 2, 3, 5, 8, 13, 16, 31, 64, 100, 1001}) {
        auto r0 = input(n, 31 + n), r1 = input(n, 32 + n), r2 = input(n, 33 + n);
        switch (which) {
        case 0: t.rotate_ql(r0.data(), r1.data(), n, c, s); break;
        case 1: t.rotate_jacobi(r0.data(), r1.data(), n, s, tau); break;
        case 2: t.add_scaled(r0.data(), r1.data(), n, q); break;
        case 3: t.sub_scaled(r0.data(), r1.data(), n, q); break;
        case 4: t.sub_rank_two(r0.data(), r1.data(), r2.data(), n, q, r); break;
        case 5: t.reflect3(r0.data(), r1.data(), r2.data(), n, q, r, x, y, z); break;
        case 6: t.reflect2(r0.data(), r1.data(), n, q, x, y); break;
        }
        append(out, r0), append(out, r1), append(out, r2);
    }
    return out;
}

// The kernels over many rows: chains of rotations (varied angle and sign,
// with and without a tick)
// and sums of scaled rows (from column `off` on), every length up to past
// the solver's batch, over rows of every width around the vector strips.
Out run_rows(const Table& t, int which) {
    Out out;
    for (idx n : {0, 1, 2, 3, 7, 8, 16, 31, 32, 33, 100})
        for (idx count : {0, 1, 2, 5, 64, 70}) {
            std::vector<std::vector<double>> z;
            std::vector<double*> rows;
            for (idx j = 0; j <= count; ++j) z.push_back(input(n, 51 + n * 97 + j));
            for (auto& r : z) rows.push_back(r.data());
            std::vector<double> c(count), s(count);
            for (idx j = 0; j < count; ++j) {
                const double a = 0.37 * static_cast<double>(j) - 1.1;
                c[j] = std::cos(a), s[j] = std::sin(a);
            }
            if (which != 1) {
                // Ticked: the same bits, and exactly one tick per rotation.
                long ticks = 0;
                auto tick = [](void* p) { ++*static_cast<long*>(p); };
                t.rotate_ql_chain(rows.data(), n, c.data(), s.data(), count, which == 2 ? +tick : nullptr, &ticks);
                for (const auto& r : z) append(out, r);
                out.push_back(static_cast<double>(which == 2 ? ticks - count : 0));
            } else {
                auto y = input(n, 61 + n);
                const idx off = n > 2 ? 2 : 0;
                t.add_scaled_rows(y.data(), rows.data(), off, c.data(), count, n - off);
                append(out, y);
            }
        }
    return out;
}

// Two chains in one pass: on every table the bits of the reference table's
// two chains one after the other, with one tick per rotation applied.
TEST(KernelTables, QlPairIsTheTwoChainsOneAfterTheOther) {
    const Table& plain = linalg::reference_kernels();
    std::vector<const Table*> tables = {&plain};
    for (isa level : kAllIsas)
        if (linalg::isa_supported(level)) tables.push_back(&linalg::kernels_for(level));
    for (const Table* t : tables)
        for (idx n : {0, 1, 3, 8, 16, 31, 33, 100})
            for (idx count : {0, 1, 2, 5, 70}) {
                std::vector<std::vector<double>> z, want;
                for (idx j = 0; j < count + 2; ++j) z.push_back(input(n, 71 + n * 31 + j));
                want = z;
                std::vector<double*> rows, wrows;
                for (idx j = 0; j < count + 2; ++j) rows.push_back(z[j].data()), wrows.push_back(want[j].data());
                std::vector<double> ca(count), sa(count), cb(count), sb(count);
                for (idx j = 0; j < count; ++j) {
                    const double a = 0.37 * static_cast<double>(j) - 1.1, b = 2.0 - 0.29 * static_cast<double>(j);
                    ca[j] = std::cos(a), sa[j] = std::sin(a), cb[j] = std::cos(b), sb[j] = std::sin(b);
                }
                plain.rotate_ql_chain(wrows.data(), n, ca.data(), sa.data(), count, nullptr, nullptr);
                plain.rotate_ql_chain(wrows.data() + 1, n, cb.data(), sb.data(), count, nullptr, nullptr);
                long ticks = 0;
                auto tick = [](void* p) { ++*static_cast<long*>(p); };
                t->rotate_ql_pair(rows.data(), n, ca.data(), sa.data(), cb.data(), sb.data(), count, +tick, &ticks);
                for (idx j = 0; j < count + 2; ++j)
                    EXPECT_TRUE(ref::same_bits(z[j], want[j])) << t->name << " n " << n << " count " << count << " row " << j;
                EXPECT_EQ(ticks, 2 * count) << t->name << " n " << n << " count " << count;
            }
}

// Blocks of every size around the vector tiles (2, 4, 8 rows and columns)
// inside wider leading dimensions; outputs NaN-filled with a margin.
Out run_transpose_block(const Table& t, int) {
    Out out;
    for (idx rows : {0, 1, 3, 4, 8, 9, 17, 32, 33})
        for (idx cols : {0, 1, 2, 7, 8, 16, 31, 33, 70}) {
            const idx ldm = cols + 5, ldx = rows + 3;
            const auto M = input(rows * ldm + 1, 41 + rows * 7 + cols);
            auto X = garbage(static_cast<std::size_t>(cols * ldx + 8));
            t.transpose_block(M.data(), ldm, X.data(), ldx, rows, cols);
            append(out, X);
        }
    return out;
}

Out run_twist(const Table& t, int) {
    std::mt19937 g(static_cast<std::uint32_t>(ref::seed()));
    std::vector<std::uint32_t> state(linalg::kTwistWords);
    for (auto& w : state) w = g();
    Out out;
    for (int pass = 0; pass < 3; ++pass) {
        t.twist(state.data());
        out.insert(out.end(), state.begin(), state.end());
    }
    return out;
}

// Panels of random values (regular pivots); the same with one column
// zeroed so that its step meets a singular pivot; and with a first column
// of magnitudes 0, 1 and 2 of either sign (ties for the pivot search), once
// more with a NaN and an infinity, once more starting on a NaN. Everything
// the call wrote (panel, exchanges, pivots) and what it returned.
Out run_panel(const Table& t, int which) {
    Out out;
    for (idx m : {1, 5, 8, 9, 17, 40, 100})
        for (idx w : {1, 3, 8, 9, 16, 20})
            for (idx variant : {-1, 2, -2, -3, -4}) {
                const idx K0 = which == 3 ? m / 4 : 0;
                if (K0 + w > m) continue;
                const idx ldp = m + 3;
                auto P = ref::random_vector(static_cast<size_t>(w * ldp), 41 + m * w);
                if (variant >= 0 && variant < w)
                    for (idx r = 0; r < ldp; ++r) P[variant * ldp + r] = 0.0;
                if (variant <= -2) {
                    const double ties[] = {0.0, -0.0, 1.0, -1.0, 2.0, -2.0};
                    for (idx r = 0; r < m; ++r) P[r] = ties[(r * 7 + m) % 6];
                    if (variant <= -3) P[K0 + (m - K0) / 3] = std::nan(""), P[m - 1] = -INFINITY;
                    if (variant == -4) P[K0] = std::nan("");
                }
                std::vector<idx> piv(w, -7);
                std::vector<double> q = garbage(w);
                const idx ret = which == 3 ? t.gj_panel(P.data(), ldp, m, K0, w, piv.data(), q.data())
                                           : t.lu_panel(P.data(), ldp, m, w, static_cast<linalg::PivotForm>(which),
                                                        piv.data(), q.data());
                append(out, P), append(out, q);
                for (idx v : piv) out.push_back(static_cast<double>(v));
                out.push_back(static_cast<double>(ret));
            }
    return out;
}

// One elimination step on blocks of rows: widths around the strips, row
// strides beyond the width, multipliers with a stride.
Out run_step_rows(const Table& t, int) {
    Out out;
    for (idx n : {0, 1, 3, 7, 8, 9, 16, 20, 31, 32, 33, 45, 100})
        for (idx rows : {0, 1, 5, 70}) {
            const idx ldy = n + 3, ldg = 2;
            auto Y = input(rows * ldy, 71 + n), x = input(n, 73 + n), g = input(rows * ldg, 79 + rows);
            t.sub_scaled_rows(Y.data(), ldy, x.data(), n, g.data(), ldg, rows);
            append(out, Y);
        }
    return out;
}

struct TableKernel {
    const char* name;
    Out (*run)(const Table&, int);
    int which;
};
const TableKernel kTableKernels[] = {
    {"mm_rows", run_products, 0},     {"mm_direct", run_products, 5},     {"mv_rows", run_products, 1},       {"vm_cols", run_products, 2},
    {"cross_rows", run_products, 3},  {"transpose_rows", run_products, 4}, {"scale", run_elementwise, 0},
    {"add", run_elementwise, 1},      {"sub", run_elementwise, 2},        {"mul", run_elementwise, 3},
    {"rm_update", run_update, 0},     {"cm_update", run_update, 1},       {"lu_panel_reciprocal", run_panel, 0},
    {"lu_panel_divided", run_panel, 1}, {"lu_panel_quotient", run_panel, 2}, {"gj_panel", run_panel, 3},
    {"rotate_ql", run_eigen, 0},      {"rotate_ql_chain", run_rows, 0}, {"rotate_ql_chain_ticked", run_rows, 2},
    {"rotate_jacobi", run_eigen, 1},  {"add_scaled", run_eigen, 2},  {"add_scaled_rows", run_rows, 1},       {"sub_scaled", run_eigen, 3}, {"sub_scaled_rows", run_step_rows, 0},
    {"sub_rank_two", run_eigen, 4},   {"reflect3", run_eigen, 5},         {"reflect2", run_eigen, 6},
    {"transpose_block", run_transpose_block, 0}, {"twist", run_twist, 0},
};

class KernelTable : public ::testing::TestWithParam<std::tuple<isa, int>> {};

TEST_P(KernelTable, MatchesTheReferenceBitForBit) {
    const isa level = std::get<0>(GetParam());
    if (!linalg::isa_supported(level)) GTEST_SKIP() << "processor cannot run the " << isa_name(level) << " table";
    const Table& t = linalg::kernels_for(level);
    ASSERT_EQ(t.level, level);
    const TableKernel& k = kTableKernels[std::get<1>(GetParam())];
    const Out want = k.run(linalg::reference_kernels(), k.which), got = k.run(t, k.which);
    ASSERT_GT(want.size(), 100u);
    EXPECT_TRUE(ref::same_bits(want, got)) << k.name << " on " << t.name;
}

INSTANTIATE_TEST_SUITE_P(
    All, KernelTable,
    ::testing::Combine(::testing::ValuesIn(kAllIsas),
                       ::testing::Range(0, static_cast<int>(sizeof kTableKernels / sizeof kTableKernels[0]))),
    [](const ::testing::TestParamInfo<std::tuple<isa, int>>& p) {
        return std::string(isa_name(std::get<0>(p.param))) + "_" + kTableKernels[std::get<1>(p.param)].name;
    });

// The drivers read their blocks from the table they are called through, at
// run time: a copy of each table with odd blocks (slices, row blocks,
// column chunks and column blocks that cut the tiles and one another
// unevenly, one micro-panel of multipliers per block; then blocks larger
// than the drivers' buffers) still gives the plain loop's bits in mm_rows,
// mm_team and rm_update.
class OddBlocking : public ::testing::TestWithParam<isa> {};

void plain_barrier() {
#pragma omp barrier
}

TEST_P(OddBlocking, TablesWithOddBlocksGiveThePlainLoopsBits) {
    if (!linalg::isa_supported(GetParam())) GTEST_SKIP() << "processor cannot run the " << isa_name(GetParam()) << " table";
    const Table& plain = linalg::reference_kernels();
    const Out want_mm = run_products(plain, 0), want_rm = run_update(plain, 0);
    const int n = 131, k = 70, m = 75;
    const Product p = awkward_product(n, k, m, 47, 48);
    for (int variant : {0, 1}) {
        Table t = linalg::kernels_for(GetParam());
        linalg::kernel_blocking& b = t.blocking;
        if (variant == 0)
            b.kc = 7, b.mc = 3 * b.mr + 1, b.nb = b.nr + 1, b.nc = 5 * b.nr + 3, b.rm_block = b.rm_rows;
        else
            b.kc = 3000, b.mc = 100000, b.nb = 100000, b.nc = 0, b.rm_block = 100000;
        SCOPED_TRACE(testing::Message() << t.name << ": kc " << b.kc << ", mc " << b.mc << ", nb " << b.nb << ", nc "
                                        << b.nc << ", rm_block " << b.rm_block);
        EXPECT_TRUE(ref::same_bits(want_mm, run_products(t, 0))) << "mm_rows";
        EXPECT_TRUE(ref::same_bits(want_rm, run_update(t, 0))) << "rm_update";
        if (!t.mm_team_fn) continue;
        std::vector<linalg::team_range> range(2);
        std::vector<double> slice(linalg::packed_slice_bytes(b, k, m) / sizeof(double) + 1);
        linalg::team_rows team{plain_barrier, range.data()};
        std::vector<double> got = garbage(p.want.size());
#pragma omp parallel num_threads(2)
        t.mm_team(p.A.data(), k, p.B.data(), m, got.data(), n, linalg::align64(slice.data()), omp_get_thread_num(),
                  omp_get_num_threads(), &team);
        EXPECT_TRUE(ref::same_bits(p.want, got)) << "mm_team";
    }
}

INSTANTIATE_TEST_SUITE_P(All, OddBlocking, ::testing::ValuesIn(kAllIsas),
                         [](const ::testing::TestParamInfo<isa>& p) { return std::string(isa_name(p.param)); });

// The reference itself rounds each product before subtracting it, as does
// every table: with a fused multiply-add the result below would be 2^-104.
TEST(KernelTableRounding, UpdatesRoundTheProductBeforeSubtracting) {
    const double a = 1.0 + std::ldexp(1.0, -52), b = 1.0 - std::ldexp(1.0, -52);
    const double p = a * b;  // 1 - 2^-104 rounds to 1.0
    std::vector<const Table*> tables = {&linalg::reference_kernels()};
    for (isa level : kAllIsas)
        if (linalg::isa_supported(level)) tables.push_back(&linalg::kernels_for(level));
    for (const Table* t : tables) {
        std::vector<double> C(16 * 16, p), G(16, b), U(16, a), Up(16 * 16, a);
        t->rm_update(C.data(), 16, 16, 16, G.data(), 1, Up.data(), 16, 1);
        for (double c : C) ASSERT_TRUE(ref::same_bits(&c, std::vector<double>{0.0}.data(), 1)) << t->name << " rm";
        std::vector<double> E(16 * 16, p);
        t->cm_update(E.data(), 16, 16, 16, G.data(), 16, U.data(), 1, 1);
        for (double c : E) ASSERT_TRUE(ref::same_bits(&c, std::vector<double>{0.0}.data(), 1)) << t->name << " cm";
    }
}

// ---- the choice of the table ---------------------------------------------------

TEST(KernelDispatch, LinalgIsaValueIsHonouredOnlyWhenTheCpuHasTheSet) {
    struct Case {
        const char* value;
        isa best, want;
        const char* reason;
    };
#if defined(__x86_64__) || defined(__i386__)
    const Case cases[] = {
        {nullptr, isa::avx512, isa::avx512, ""},
        {"", isa::avx2, isa::avx2, ""},
        {"sse2", isa::avx512, isa::sse2, ""},
        {"avx2", isa::avx512, isa::avx2, ""},
        {"avx2", isa::avx2, isa::avx2, ""},
        {"avx512", isa::avx2, isa::avx2, "LINALG_ISA=avx512 ignored: CPU lacks AVX-512F/DQ/BW/VL"},
        {"avx2", isa::sse2, isa::sse2, "LINALG_ISA=avx2 ignored: CPU lacks AVX2"},
        {"avx512_256", isa::avx512, isa::avx512_256, ""},
        {"avx512", isa::avx512_256, isa::avx512, ""},
        {"avx2", isa::avx512_256, isa::avx2, ""},
        {"avx512_256", isa::avx2, isa::avx2, "LINALG_ISA=avx512_256 ignored: CPU lacks AVX-512F/DQ/BW/VL"},
        {"AVX2", isa::avx512, isa::avx512,
         "LINALG_ISA=AVX2 ignored: unknown instruction set (sse2, avx2, avx512 or avx512_256)"},
        {"avx", isa::sse2, isa::sse2, "LINALG_ISA=avx ignored: unknown instruction set (sse2, avx2, avx512 or avx512_256)"},
        {"neon", isa::avx2, isa::avx2, "LINALG_ISA=neon ignored: unknown instruction set (sse2, avx2, avx512 or avx512_256)"},
    };
#elif defined(__aarch64__)
    const Case cases[] = {
        {nullptr, isa::neon, isa::neon, ""},
        {"", isa::neon, isa::neon, ""},
        {"generic", isa::neon, isa::generic, ""},
        {"neon", isa::neon, isa::neon, ""},
        {"neon", isa::generic, isa::generic, "LINALG_ISA=neon ignored: CPU lacks Advanced SIMD"},
        {"sse2", isa::neon, isa::neon, "LINALG_ISA=sse2 ignored: unknown instruction set (generic or neon)"},
        {"NEON", isa::neon, isa::neon, "LINALG_ISA=NEON ignored: unknown instruction set (generic or neon)"},
    };
#else
    const Case cases[] = {
        {nullptr, isa::generic, isa::generic, ""},
        {"generic", isa::generic, isa::generic, ""},
        {"sse2", isa::generic, isa::generic, "LINALG_ISA=sse2 ignored: unknown instruction set (generic)"},
    };
#endif
    for (const Case& c : cases) {
        std::string reason = "stale";
        EXPECT_EQ(linalg::choose_isa(c.value, c.best, &reason), c.want) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(reason, c.reason);
    }
}

TEST(KernelDispatch, TheTestHookRefusesWhatTheCpuCannotRun) {
    for (isa level : kAllIsas) {
        const bool ok = linalg::testhooks::force_isa(level);
        EXPECT_EQ(ok, linalg::isa_supported(level)) << isa_name(level);
        if (ok) {
            EXPECT_EQ(linalg::kernels().level, level);
        }
    }
    ASSERT_TRUE(linalg::testhooks::force_isa(linalg::kBaselineIsa));
    EXPECT_FALSE(linalg::testhooks::force_isa(static_cast<isa>(7)));
    EXPECT_EQ(linalg::kernels().level, linalg::kBaselineIsa) << "a refused choice must change nothing";
    linalg::testhooks::reset_isa();
}

// Results of the public functions that run on the kernels (products,
// blocked solvers, eigen-solvers, generator with 10^6 Gaussian draws),
// hashed; with the table in use.
std::string result_digest() {
    std::uint64_t h = 1469598103934665603ull;
    // NaN is hashed as one value (docs/numerical-hardening.md): the sign and
    // payload of a NaN made by arithmetic differ between architectures.
    auto mix = [&](const std::vector<double>& v) {
        for (double x : v) {
            unsigned char c[sizeof(double)];
            const double y = x != x ? ref::kCanonicalNaN : x;
            std::memcpy(c, &y, sizeof c);
            for (unsigned char b : c) h = (h ^ b) * 1099511628211ull;
        }
    };
    const int n = 150;
    auto A = ref::random_vector(static_cast<size_t>(n) * n, 91), B = ref::random_vector(static_cast<size_t>(n) * n, 92);
    auto b = ref::random_vector(n, 93);
    std::vector<double> X(static_cast<size_t>(n) * n), x(n), e(n), ei(n);
    LA::MultiplyMM(A.data(), n, n, B.data(), n, X.data()), mix(X);
    LA::MultiplyVM(b.data(), n, A.data(), n, x.data()), mix(x);
    LA::SolveLSE(A.data(), b.data(), x.data(), n), mix(x);
    LA::InverseMsq(A.data(), X.data(), n), mix(X);
    mix({LA::DeterminantMsq(A.data(), n)});
    auto S = A;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) S[static_cast<size_t>(i) * n + j] += A[static_cast<size_t>(j) * n + i];
    auto W = S;
    LA::EigenSymmSystemMsqH(W.data(), n, e.data(), X.data()), mix(e), mix(X);
    W = S;
    LA::EigenSymmSystemMsqJ(W.data(), 40, e.data(), X.data()), mix(e);
    W = A;
    LA::EigenUnSymmSystemMsq(W.data(), 60, e.data(), ei.data()), mix(e), mix(ei);
    for (int i = 0; i < 2000; ++i) mix({static_cast<double>(LA::MT_u32())});
    // Gaussian draws: their ln, sin and cos are the library's own.
    std::vector<double> g(1000000);
    for (double& z : g) z = LA::MT_Gauss64(0.0, 1.0);
    mix(g);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %016llx", linalg::kernels().name, static_cast<unsigned long long>(h));
    return buf;
}

// Run by the test below in a child process with LINALG_ISA set.
TEST(KernelDispatch, DISABLED_PrintResultDigest) { std::printf("digest: %s\n", result_digest().c_str()); }

// Runs this program again with LINALG_ISA=value; returns what the child
// printed (standard output and error).
std::string run_child(const std::string& value) {
    char self[4096] = {};
    const std::string args = " --gtest_also_run_disabled_tests"
                             " --gtest_filter=KernelDispatch.DISABLED_PrintResultDigest 2>&1";
#ifdef _WIN32
    if (GetModuleFileNameA(nullptr, self, sizeof self - 1) == 0) return "";
    _putenv_s("LINALG_ISA", value.c_str());  // the child inherits it
    const std::string cmd = std::string("\"") + self + "\"" + args;
#else
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return "";
    // A cross-built program runs under its emulator (qemu-user), which a
    // child started by the shell does not get by itself.
    const std::string cmd = "LINALG_ISA=" + value + " " LINALG_TEST_EMULATOR " '" + self + "'" + args;
#endif
    FILE* p = popen(cmd.c_str(), "r");
#ifdef _WIN32
    _putenv_s("LINALG_ISA", "");
#endif
    if (!p) return "";
    std::string text;
    char line[512];
    while (std::fgets(line, sizeof line, p)) text += line;
    pclose(p);
    return text;
}

TEST(KernelDispatch, LinalgIsaForcesALowerSetAndResultsStayTheSame) {
    linalg::testhooks::reset_isa();
    const std::string here = result_digest();  // the default set
    const std::string hash = here.substr(here.find(' '));
    // Every registered set the processor can run, named by LINALG_ISA.
    for (isa level : kAllIsas) {
        if (!linalg::isa_supported(level)) continue;
        const std::string name = isa_name(level);
        const std::string other = run_child(name);
        EXPECT_NE(other.find("digest: " + name + hash), std::string::npos) << other << "\nexpected " << name << hash;
        EXPECT_EQ(other.find("linalg:"), std::string::npos) << other;
    }
    // An unknown value is ignored, and says so.
    const std::string bad = run_child("avx9");
    EXPECT_NE(bad.find("linalg: LINALG_ISA=avx9 ignored: unknown instruction set"), std::string::npos) << bad;
    EXPECT_NE(bad.find("digest: " + here), std::string::npos) << bad << "\nexpected " << here;
}

} // namespace
