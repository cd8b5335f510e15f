// Fast product, transpose and element-wise kernels: bit for bit the plain
// loops, on every instruction-set path the processor can run.
#include "linalg.h"
#include "core/kernels.h"
#include "core/work_memory.h"
#include "random/mt19937.h"
#include "support/reference.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

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

const char* isa_name(isa level) {
    switch (level) {
    case isa::baseline: return "baseline";
    case isa::avx2: return "avx2";
    case isa::avx512: return "avx512";
    }
    return "?";
}

struct Shape {
    int n, k, m;
};

// Shapes around the edges of every tile: micro-tile rows (4, 8) and columns
// (4, 8, 16), the summation slice (256), the row block (96, 192) and the
// column block (1024, 2048), plus 1, 7, 13, 777 and non-square ones.
const Shape kShapes[] = {
    {1, 1, 1},     {1, 7, 13},    {7, 7, 7},       {13, 13, 13},  {13, 1, 17},   {3, 0, 5},
    {4, 4, 4},     {5, 3, 9},     {8, 8, 8},       {9, 17, 15},   {8, 16, 16},   {16, 9, 17},
    {31, 255, 33}, {17, 256, 24}, {9, 257, 25},    {95, 20, 23},  {96, 31, 8},   {97, 40, 41},
    {191, 33, 17}, {192, 9, 16},  {193, 260, 31},  {2, 777, 3},   {777, 3, 2},   {60, 513, 70},
    {5, 6, 1023},  {3, 5, 1024},  {6, 300, 1025},  {9, 7, 2047},  {2, 9, 2048},  {10, 259, 2049},
    {777, 31, 13}, {120, 120, 120},
};

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
        auto A = ref::awkward_vector(static_cast<size_t>(s.n) * s.k, 101 + s.n);
        auto B = ref::awkward_vector(static_cast<size_t>(s.k) * s.m, 202 + s.m);
        std::vector<double> want(static_cast<size_t>(s.n) * s.m), got = garbage(want.size());
        ref::mm(A.data(), s.n, s.k, B.data(), s.m, want.data());
        LA::MultiplyMM(A.data(), s.n, s.k, B.data(), s.m, got.data());
        ASSERT_TRUE(ref::same_bits(want, got));
        // The packed kernel itself, also on the small shapes that the
        // public function hands to the plain loop.
        got = garbage(want.size());
        linalg::kernels().mm_rows(A.data(), s.k, B.data(), s.m, got.data(), 0, s.n);
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

// The products pack into fixed stack buffers: no work memory is requested,
// even for shapes larger than every block.
TEST_P(Kernels, ProductsAllocateNothing) {
    const int n = 300, k = 270, m = 2100;
    auto A = ref::random_vector(static_cast<size_t>(n) * k, 41);
    auto B = ref::random_vector(static_cast<size_t>(k) * m, 42);
    std::vector<double> got(static_cast<size_t>(n) * m), want(got.size());
    linalg::testhooks::reset_alloc_counters();
    LA::MultiplyMM(A.data(), n, k, B.data(), m, got.data());
    LA::MultiplyMV(B.data(), k, B.data(), m, want.data());
    LA::MultiplyVM(A.data(), k, B.data(), m, want.data());
    linalg::kernels().gemm_sub(n, m, k, A.data(), k, B.data(), m, got.data(), m);
    EXPECT_EQ(linalg::testhooks::alloc_calls(), 0);
    linalg::testhooks::reset_alloc_counters();
}

// The delayed elimination update C(i, j) -= U(p, j) * L(i, p), p ascending,
// on sub-blocks of larger arrays (leading dimensions wider than the block).
TEST_P(Kernels, EliminationUpdateMatchesRowByRowUpdates) {
    for (const Shape& s : kShapes) {
        if (s.k == 0) continue;
        SCOPED_TRACE(testing::Message() << s.n << " x " << s.k << " x " << s.m);
        const linalg::idx ldl = s.k + 3, ldu = s.m + 5, ldc = s.m + 2;
        auto L = ref::awkward_vector(static_cast<size_t>(s.n * ldl), 91);
        auto U = ref::awkward_vector(static_cast<size_t>(s.k * ldu), 92);
        auto C = ref::awkward_vector(static_cast<size_t>(s.n * ldc), 93);
        auto want = C;
        for (linalg::idx i = 0; i < s.n; ++i)
            for (linalg::idx p = 0; p < s.k; ++p) {
                const double g = L[i * ldl + p];
                for (linalg::idx j = 0; j < s.m; ++j) want[i * ldc + j] = want[i * ldc + j] - U[p * ldu + j] * g;
            }
        linalg::kernels().gemm_sub(s.n, s.m, s.k, L.data(), ldl, U.data(), ldu, C.data(), ldc);
        ASSERT_TRUE(ref::same_bits(want, C));  // the padding columns included: untouched
    }
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
    // Long rows and columns, beyond the column strip of MultiplyVM.
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

// The generator's state regeneration runs on the same instruction-set path:
// every path must give std::mt19937's sequence over many regenerations, and
// the array seeding (which std::mt19937 has no equivalent of) the same
// sequence on every path.
TEST_P(Kernels, GeneratorTwistGivesTheReferenceSequence) {
    for (std::uint32_t seed : {5489u, 0u, 1u, 0xFFFFFFFFu, 20261207u}) {
        linalg::init_genrand(seed);
        std::mt19937 want(seed);
        for (int i = 0; i < 7 * 624 + 13; ++i) ASSERT_EQ(linalg::genrand_int32(), want()) << "seed " << seed << " draw " << i;
    }
    const std::uint32_t key[4] = {0x123u, 0x234u, 0x345u, 0x456u};
    std::vector<std::uint32_t> here, base;
    linalg::init_by_array(key, 4);
    for (int i = 0; i < 3 * 624 + 5; ++i) here.push_back(linalg::genrand_int32());
    ASSERT_TRUE(linalg::testhooks::force_isa(isa::baseline));
    linalg::init_by_array(key, 4);
    for (int i = 0; i < 3 * 624 + 5; ++i) base.push_back(linalg::genrand_int32());
    EXPECT_EQ(here, base);
    // The reference implementation's published outputs for this key.
    EXPECT_EQ(base[0], 1067595299u);
    EXPECT_EQ(base[1], 955945823u);
    linalg::testhooks::reset_generator();
}

INSTANTIATE_TEST_SUITE_P(Paths, Kernels, ::testing::Values(isa::baseline, isa::avx2, isa::avx512),
                         [](const ::testing::TestParamInfo<isa>& p) { return std::string(isa_name(p.param)); });

TEST(KernelDispatch, AutomaticChoiceIsTheWidestSupportedPath) {
    linalg::testhooks::reset_isa();
    const isa want = linalg::isa_supported(isa::avx512) ? isa::avx512
                     : linalg::isa_supported(isa::avx2) ? isa::avx2
                                                        : isa::baseline;
    EXPECT_EQ(linalg::kernels().level, want);
    EXPECT_TRUE(linalg::isa_supported(isa::baseline));
}

// No fused multiply-add may reach the library: its code is disassembled and
// searched for any FMA instruction.
TEST(KernelBuild, LibraryContainsNoFusedMultiplyAdd) {
    const std::string cmd = std::string("objdump -d --no-show-raw-insn '") + LINALG_SHARED_LIB + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[512];
    long lines = 0, avx512_lines = 0;
    std::string fused;
    while (std::fgets(line, sizeof line, p)) {
        ++lines;
        if (std::strstr(line, "zmm")) ++avx512_lines;
        if (std::strstr(line, "vfmadd") || std::strstr(line, "vfmsub") || std::strstr(line, "vfnmadd") ||
            std::strstr(line, "vfnmsub"))
            if (fused.size() < 2000) fused += line;
    }
    const int rc = pclose(p);
    if (rc != 0 || lines == 0) GTEST_SKIP() << "objdump not available";
    EXPECT_GT(avx512_lines, 0) << "the AVX-512 kernels are missing from the library";
    EXPECT_TRUE(fused.empty()) << fused;
}

} // namespace
