// The library's own ln, sin and cos (base/crmath.h) against MPFR: correctly
// rounded on the arguments of the Gaussian draw (u = k / (2^32 - 1) and
// theta = u * 6.283185307179586), at the edges of those ranges and, for ln,
// over all positive doubles; the slow stage on its own as well, since the
// fast one leaves it little to do. Built only where MPFR is installed.
#include <gtest/gtest.h>
#include <mpfr.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "testhooks.h"
#include "base/crmath.h"
#include "linalg.h"
#include "random/mt19937.h"

using LinearAlgebra::LA;

namespace {

enum class Fn { log, sin, cos };

// f(x) rounded to nearest by MPFR.
double mpfr_ref(Fn f, double x) {
    mpfr_t a, y;
    mpfr_inits2(53, a, y, static_cast<mpfr_ptr>(nullptr));
    mpfr_set_d(a, x, MPFR_RNDN);
    const int t = f == Fn::log ? mpfr_log(y, a, MPFR_RNDN) : f == Fn::sin ? mpfr_sin(y, a, MPFR_RNDN) : mpfr_cos(y, a, MPFR_RNDN);
    mpfr_subnormalize(y, t, MPFR_RNDN);
    const double r = mpfr_get_d(y, MPFR_RNDN);
    mpfr_clears(a, y, static_cast<mpfr_ptr>(nullptr));
    return r;
}

double lib(Fn f, double x) {
    if (f == Fn::log) return linalg::cr_log(x);
    double s, c;
    linalg::cr_sincos(x, &s, &c);
    return f == Fn::sin ? s : c;
}

double slow(Fn f, double x, bool* decided) {
    if (f == Fn::log) {
        double y;
        *decided = linalg::crmath_detail::log_slow(x, &y);
        return y;
    }
    double s, c;
    const int d = linalg::crmath_detail::sincos_slow(x, &s, &c);
    *decided = (d & (f == Fn::sin ? 1 : 2)) != 0;
    return f == Fn::sin ? s : c;
}

double next(double x, int ulps) {
    for (; ulps > 0; --ulps) x = std::nextafter(x, HUGE_VAL);
    for (; ulps < 0; ++ulps) x = std::nextafter(x, -HUGE_VAL);
    return x;
}

double u_of(std::uint32_t k) { return linalg::u32_to_real1a(k); }

// Arguments: a sample of the draw's, its edges, and (ln only) random
// positive doubles of every exponent.
std::vector<double> arguments(Fn f) {
    std::vector<double> xs;
    std::mt19937 g(f == Fn::log ? 11u : 12u);
    const bool trig = f != Fn::log;
    for (int i = 0; i < 150000; ++i) {
        const double u = u_of(g());
        xs.push_back(trig ? u * 6.283185307179586 : u);
    }
    for (std::uint32_t k : {1u, 2u, 3u, 0xfffffffeu, 0xffffffffu}) {
        const double u = u_of(k);
        xs.push_back(trig ? u * 6.283185307179586 : u);
    }
    if (trig) {
        const double pi = 3.141592653589793;
        for (double t : {pi / 2, pi, 3 * pi / 2, 2 * pi, pi / 4, 3 * pi / 4, 7.0, 1e-300, 0x1p-30})
            for (int d = -40; d <= 40; ++d) xs.push_back(next(t, d));
        const std::size_t n = xs.size();
        for (std::size_t i = 0; i < n; i += 10) xs.push_back(-xs[i]);
    } else {
        for (double x : {1.0, 0.5, 2.0, std::sqrt(0.5), DBL_MIN, DBL_TRUE_MIN, DBL_MAX})
            for (int d = -40; d <= 40; ++d)
                if (next(x, d) > 0.0 && std::isfinite(next(x, d))) xs.push_back(next(x, d));
        std::mt19937_64 b(13u);
        for (int i = 0; i < 50000; ++i) {
            const std::uint64_t bits = b() & 0x7fffffffffffffffull;
            double x;
            std::memcpy(&x, &bits, sizeof x);
            if (x > 0.0 && std::isfinite(x)) xs.push_back(x);
        }
    }
    return xs;
}

class CrMath : public ::testing::TestWithParam<Fn> {};

TEST_P(CrMath, IsCorrectlyRounded) {
    int wrong = 0;
    for (double x : arguments(GetParam())) {
        const double want = mpfr_ref(GetParam(), x);
        const double got = lib(GetParam(), x);
        if (std::memcmp(&got, &want, sizeof got) != 0 && ++wrong <= 5)
            ADD_FAILURE() << std::hexfloat << "x = " << x << ": " << got << ", correctly rounded " << want;
    }
    EXPECT_EQ(wrong, 0);
}

// The slow stage alone, on every tenth argument: it decides, and rightly.
TEST_P(CrMath, SlowStageDecidesAndIsCorrectlyRounded) {
    const std::vector<double> xs = arguments(GetParam());
    int wrong = 0, undecided = 0;
    for (std::size_t i = 0; i < xs.size(); i += 10) {
        bool decided;
        const double got = slow(GetParam(), xs[i], &decided);
        if (!decided) ++undecided;
        if (got != mpfr_ref(GetParam(), xs[i]) && ++wrong <= 5)
            ADD_FAILURE() << std::hexfloat << "x = " << xs[i] << ": " << got;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(undecided, 0);
}

INSTANTIATE_TEST_SUITE_P(Fns, CrMath, ::testing::Values(Fn::log, Fn::sin, Fn::cos),
                         [](const ::testing::TestParamInfo<Fn>& p) {
                             return p.param == Fn::log ? "log" : p.param == Fn::sin ? "sin" : "cos";
                         });

TEST(CrMathDomain, OutsideItTheCLibraryAnswers) {
    EXPECT_EQ(linalg::cr_log(0.0), -HUGE_VAL);
    EXPECT_EQ(linalg::cr_log(HUGE_VAL), HUGE_VAL);
    EXPECT_TRUE(std::isnan(linalg::cr_log(-1.0)));
    EXPECT_EQ(linalg::cr_log(1.0), 0.0);
    double s, c;
    linalg::cr_sincos(100.0, &s, &c);
    EXPECT_EQ(s, std::sin(100.0));
    EXPECT_EQ(c, std::cos(100.0));
    linalg::cr_sincos(NAN, &s, &c);
    EXPECT_TRUE(std::isnan(s) && std::isnan(c));
}

// MT_Gauss64 is the Box-Muller formula with correctly rounded ln, sin, cos.
TEST(CrMathGaussian, DrawsAreTheFormulaWithCorrectlyRoundedFunctions) {
    linalg::testhooks::reset_generator();
    std::mt19937 ref(5489u);
    for (int i = 0; i < 20000; ++i) {
        const double u1 = u_of(ref()), u2 = u_of(ref());
        const double r = std::sqrt(mpfr_ref(Fn::log, u1) * -2.0);
        const double theta = u2 * 6.283185307179586;
        ASSERT_EQ(LA::MT_Gauss64(0.0, 1.0), mpfr_ref(Fn::cos, theta) * r) << "draw " << 2 * i;
        ASSERT_EQ(LA::MT_Gauss64(0.0, 1.0), mpfr_ref(Fn::sin, theta) * r) << "draw " << 2 * i + 1;
    }
}

} // namespace
