// Mersenne Twister: sequences against independent generators, the
// conversions and their interval ends, the Gaussian cache and the seeding
// exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "testhooks.h"
#include "linalg.h"
#include "random/mt19937.h"

using LinearAlgebra::LA;

namespace {

class Generator : public ::testing::Test {
protected:
    // Every test starts from the state at load: unseeded, cache empty.
    void SetUp() override { linalg::testhooks::reset_generator(); }
};

// First outputs and the 10000th, compared with std::mt19937.
void expect_same_as_std(std::mt19937& ref) {
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(LA::MT_u32(), ref()) << "output " << i;
    for (int i = 1000; i < 9999; ++i) ASSERT_EQ(LA::MT_u32(), ref());
    EXPECT_EQ(LA::MT_u32(), ref());
}

} // namespace

// ---- sequences ------------------------------------------------------------

TEST_F(Generator, UnseededStartsFromDefaultSeed5489) {
    std::mt19937 ref(5489u);
    expect_same_as_std(ref);
}

TEST_F(Generator, TenThousandthOutputOfDefaultSeed) {
    // std::mt19937's defining property: the 10000th output for seed 5489.
    for (int i = 0; i < 9999; ++i) LA::MT_u32();
    EXPECT_EQ(LA::MT_u32(), 4123659995u);
}

TEST_F(Generator, InitGenrandMatchesStdForSeveralSeeds) {
    for (std::uint32_t seed : {0u, 1u, 42u, 19650218u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(seed);
        linalg::init_genrand(seed);
        std::mt19937 ref(seed);
        expect_same_as_std(ref);
    }
}

TEST_F(Generator, ReseedingRestartsTheSequence) {
    linalg::init_genrand(7u);
    const std::uint32_t a = LA::MT_u32();
    for (int i = 0; i < 700; ++i) LA::MT_u32();  // crosses a regeneration
    linalg::init_genrand(7u);
    EXPECT_EQ(LA::MT_u32(), a);
}

// Outputs after init_by_array, computed independently with numpy 2.4:
//   rs = numpy.random.RandomState(numpy.array(key, dtype=numpy.uint32))
//   rs.randint(0, 2**32, size=10000, dtype=numpy.uint32)
// (a legacy RandomState seeded with an array of two or more words runs
// init_by_array; a full-range uint32 randint takes one output per value).
// Entries are {index, value}.
struct KeyCase {
    std::vector<std::uint32_t> key;
    std::vector<std::pair<int, std::uint32_t>> outputs;
};

TEST_F(Generator, InitByArrayMatchesNumpy) {
    std::vector<std::uint32_t> key700(700);
    for (std::uint32_t i = 0; i < 700; ++i) key700[i] = i * 2654435761u + 12345u;

    const std::vector<KeyCase> cases = {
        {{0x123, 0x234, 0x345, 0x456},
         {{0, 1067595299u}, {1, 955945823u}, {2, 477289528u}, {3, 4107218783u},
          {4, 4228976476u}, {5, 3344332714u}, {6, 3355579695u}, {7, 227628506u},
          {999, 3460025646u}, {9999, 3908684712u}}},
        {{42, 7},
         {{0, 3859937450u}, {1, 3839017630u}, {2, 425897807u}, {3, 3968870657u}, {9999, 3846977584u}}},
        // Longer than the state: the first mixing loop runs key_length times.
        {key700,
         {{0, 1635820964u}, {1, 1788933857u}, {2, 9490523u}, {3, 741645469u}, {9999, 3967803735u}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key.size());
        linalg::init_by_array(c.key.data(), static_cast<int>(c.key.size()));
        int next = 0;
        for (const auto& [index, value] : c.outputs) {
            std::uint32_t u = 0;
            while (next <= index) {
                u = LA::MT_u32();
                ++next;
            }
            EXPECT_EQ(u, value) << "output " << index;
        }
    }
}

TEST_F(Generator, InitByArrayWithoutKeyWordsKeepsThePreliminarySeed) {
    linalg::init_by_array(nullptr, 0);  // no key word is read
    std::mt19937 ref(19650218u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(LA::MT_u32(), ref());
}

TEST_F(Generator, SeedingExportsGiveReproducibleSequencesWithinASecond) {
    // Init_MT seeds with the time in seconds: two calls in the same second
    // give the same sequence (retry once if a second boundary intervenes).
    for (int attempt = 0; attempt < 2; ++attempt) {
        LA::Init_MT();
        std::vector<std::uint32_t> a, b;
        for (int i = 0; i < 5; ++i) a.push_back(LA::MT_u32());
        LA::Init_MT();
        for (int i = 0; i < 5; ++i) b.push_back(LA::MT_u32());
        if (a == b) break;
        ASSERT_LT(attempt, 1) << "Init_MT gave different sequences twice";
    }
    const auto t = static_cast<std::uint32_t>(std::time(nullptr));
    LA::Init_MT();
    const std::uint32_t first = LA::MT_u32();
    std::mt19937 r0(t), r1(t + 1);
    EXPECT_TRUE(first == r0() || first == r1());
}

TEST_F(Generator, InitByArrayExportKeysWithTenTimeSeededRandValues) {
    // The export seeds the C library's generator with the time in seconds and
    // takes ten rand() values as the key; rebuild that key within the same
    // second (retry once if a second boundary intervenes).
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto before = static_cast<std::uint32_t>(std::time(nullptr));
        LA::Init_MT_by_array();
        std::vector<std::uint32_t> got;
        for (int i = 0; i < 5; ++i) got.push_back(LA::MT_u32());
        const auto after = static_cast<std::uint32_t>(std::time(nullptr));
        if (before != after) continue;
        std::srand(before);
        std::uint32_t key[10];
        for (auto& word : key) word = static_cast<std::uint32_t>(std::rand());
        linalg::init_by_array(key, 10);
        std::vector<std::uint32_t> want;
        for (int i = 0; i < 5; ++i) want.push_back(LA::MT_u32());
        EXPECT_EQ(got, want);
        return;
    }
    FAIL() << "two second boundaries in a row";
}

TEST_F(Generator, InitByArrayExportLeavesTheDefaultSequence) {
    LA::Init_MT_by_array();
    std::mt19937 def(5489u);
    bool all_same = true;
    for (int i = 0; i < 10; ++i) all_same = all_same && (LA::MT_u32() == def());
    EXPECT_FALSE(all_same);
}

// ---- conversions ----------------------------------------------------------

TEST(Conversions, FormulasAndIntervalEnds) {
    const double two32 = 4294967296.0;
    // [0, 1]: both ends reachable.
    EXPECT_EQ(linalg::u32_to_real1(0u), 0.0);
    EXPECT_EQ(linalg::u32_to_real1(0xFFFFFFFFu), 1.0);
    EXPECT_EQ(linalg::u32_to_real1(12345u), 12345.0 * (1.0 / 4294967295.0));
    // (0, 1]: u = 0 is replaced by 1; a true division.
    EXPECT_EQ(linalg::u32_to_real1a(0u), 1.0 / 4294967295.0);
    EXPECT_GT(linalg::u32_to_real1a(0u), 0.0);
    EXPECT_EQ(linalg::u32_to_real1a(1u), 1.0 / 4294967295.0);
    EXPECT_EQ(linalg::u32_to_real1a(0xFFFFFFFFu), 1.0);
    EXPECT_EQ(linalg::u32_to_real1a(3u), 3.0 / 4294967295.0);
    // [0, 1): 0 reachable, 1 not.
    EXPECT_EQ(linalg::u32_to_real2(0u), 0.0);
    EXPECT_EQ(linalg::u32_to_real2(0xFFFFFFFFu), 4294967295.0 / two32);
    EXPECT_LT(linalg::u32_to_real2(0xFFFFFFFFu), 1.0);
    EXPECT_EQ(linalg::u32_to_real2(0x80000000u), 0.5);
    // (0, 1): neither end.
    EXPECT_EQ(linalg::u32_to_real3(0u), 0.5 / two32);
    EXPECT_EQ(linalg::u32_to_real3(0xFFFFFFFFu), (4294967295.0 + 0.5) / two32);
    EXPECT_LT(linalg::u32_to_real3(0xFFFFFFFFu), 1.0);
    // 53 bits: a = first >> 5 (27 bits), b = second >> 6 (26 bits).
    EXPECT_EQ(linalg::u32_pair_to_res53(0u, 0u), 0.0);
    EXPECT_EQ(linalg::u32_pair_to_res53(0xFFFFFFFFu, 0xFFFFFFFFu), 1.0 - std::ldexp(1.0, -53));
    EXPECT_EQ(linalg::u32_pair_to_res53(0u, 1u << 6), std::ldexp(1.0, -53));
    EXPECT_EQ(linalg::u32_pair_to_res53(1u << 5, 0u), std::ldexp(1.0, -27));
    EXPECT_EQ(linalg::u32_pair_to_res53(0x1Fu, 0x3Fu), 0.0);  // dropped low bits
}

TEST_F(Generator, ExportsApplyTheirConversionToTheNextOutputs) {
    std::mt19937 ref(5489u);
    EXPECT_EQ(LA::MT_i31(), static_cast<std::int32_t>(ref() >> 1));
    EXPECT_EQ(LA::MT_d64(), linalg::u32_to_real1(ref()));
    EXPECT_EQ(LA::MT_d64_0(), linalg::u32_to_real1a(ref()));
    EXPECT_EQ(LA::MT_d64_1(), linalg::u32_to_real2(ref()));
    EXPECT_EQ(LA::MT_d64_01(), linalg::u32_to_real3(ref()));
    // MT_d53_1 takes two outputs, the first one in the high bits.
    const std::uint32_t a = ref();
    const std::uint32_t b = ref();
    EXPECT_EQ(LA::MT_d53_1(), linalg::u32_pair_to_res53(a, b));
    EXPECT_EQ(LA::MT_u32(), ref());
}

TEST_F(Generator, IntegerDrawsStayInTheirRanges) {
    for (int i = 0; i < 20000; ++i) {
        const std::int32_t v = LA::MT_i31();
        ASSERT_GE(v, 0);
    }
    double lo = 1.0, hi = 0.0, sum = 0.0;
    for (int i = 0; i < 20000; ++i) {
        const double d = LA::MT_d64_01();
        ASSERT_GT(d, 0.0);
        ASSERT_LT(d, 1.0);
        lo = std::min(lo, d);
        hi = std::max(hi, d);
        sum += d;
    }
    EXPECT_LT(lo, 0.001);
    EXPECT_GT(hi, 0.999);
    EXPECT_NEAR(sum / 20000.0, 0.5, 0.01);
}

// ---- Gaussian draw ----------------------------------------------------------

TEST_F(Generator, GaussianOddCallsDrawTwoAndEvenCallsUseTheCache) {
    std::mt19937 ref(5489u);
    const double u1 = linalg::u32_to_real1a(ref());
    const double u2 = linalg::u32_to_real1a(ref());
    const double r = std::sqrt(std::log(u1) * -2.0);
    const double theta = u2 * 6.283185307179586;

    EXPECT_EQ(LA::MT_Gauss64(1.0, 2.0), std::cos(theta) * r * 2.0 + 1.0);
    EXPECT_TRUE(linalg::testhooks::gaussian_cached());
    // The second call returns the sine partner with its own mu and sigma.
    EXPECT_EQ(LA::MT_Gauss64(-3.0, 0.5), std::sin(theta) * r * 0.5 + -3.0);
    EXPECT_FALSE(linalg::testhooks::gaussian_cached());
    // The even call consumed no output.
    EXPECT_EQ(LA::MT_u32(), ref());
}

TEST_F(Generator, GaussianWithZeroSigmaIsTheMean) {
    EXPECT_EQ(LA::MT_Gauss64(5.0, 0.0), 5.0);
    EXPECT_EQ(LA::MT_Gauss64(5.0, 0.0), 5.0);
    EXPECT_EQ(LA::MT_Gauss64(-2.5, 0.0), -2.5);
}

TEST_F(Generator, SeedingKeepsTheGaussianCache) {
    linalg::init_genrand(99u);
    const double first = LA::MT_Gauss64(0.0, 1.0);
    const double partner = LA::MT_Gauss64(0.0, 1.0);
    linalg::init_genrand(99u);
    EXPECT_EQ(LA::MT_Gauss64(0.0, 1.0), first);
    linalg::init_genrand(12345u);  // reseed between the pair
    EXPECT_EQ(LA::MT_Gauss64(0.0, 1.0), partner);
}

// A saved state, restored after other draws and reseeding, continues the
// sequence where it was saved: the outputs, the twist position and the
// Gaussian cache (saved here between the two values of a pair).
TEST_F(Generator, RestoredStateContinuesTheSavedSequence) {
    linalg::init_genrand(31u);
    for (int i = 0; i < 700; ++i) LA::MT_u32();  // past one twist
    LA::MT_Gauss64(0.0, 1.0);
    linalg::GeneratorState saved;
    linalg::save_generator(&saved);
    std::vector<double> want;
    want.push_back(LA::MT_Gauss64(0.0, 1.0));
    for (int i = 0; i < 1000; ++i) want.push_back(LA::MT_u32());
    want.push_back(LA::MT_Gauss64(0.0, 1.0));
    linalg::init_genrand(7u);
    LA::MT_Gauss64(0.0, 1.0);
    linalg::restore_generator(saved);
    std::vector<double> got;
    got.push_back(LA::MT_Gauss64(0.0, 1.0));
    for (int i = 0; i < 1000; ++i) got.push_back(LA::MT_u32());
    got.push_back(LA::MT_Gauss64(0.0, 1.0));
    EXPECT_EQ(got, want);
}

TEST_F(Generator, GaussianMomentsAreStandardNormal) {
    linalg::init_genrand(2024u);
    const int n = 200000;
    double s = 0.0, s2 = 0.0;
    int beyond3 = 0;
    for (int i = 0; i < n; ++i) {
        const double z = LA::MT_Gauss64(0.0, 1.0);
        ASSERT_TRUE(std::isfinite(z));
        s += z;
        s2 += z * z;
        if (std::fabs(z) > 3.0) ++beyond3;
    }
    EXPECT_NEAR(s / n, 0.0, 0.01);
    EXPECT_NEAR(s2 / n, 1.0, 0.02);
    EXPECT_NEAR(beyond3 / double(n), 0.0027, 0.0008);
}
