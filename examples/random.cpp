// Random numbers: one MT19937 generator per process.
//
// Without a seeding call the first draw seeds it with 5489, so a program
// that never seeds gets the same sequence every run (the standard library's
// std::mt19937 has the same default seed, which this example uses as a
// check). Init_MT seeds from the clock, Init_MT_by_array from a key made of
// clock-seeded rand() values. The generator is shared by all threads:
// callers serialise the calls.
#include "linalg.h"

#include <cmath>
#include <cstdio>
#include <random>

using LinearAlgebra::LA;

int main() {
    int bad = 0;

    // Default seed: the same draws as std::mt19937 with its default seed.
    std::mt19937 reference;
    for (int i = 0; i < 5; ++i) {
        const uint32_t u = LA::MT_u32();
        std::printf("MT_u32 #%d = %u\n", i + 1, u);
        if (u != reference()) ++bad;
    }

    // Doubles in the four interval conventions and the 53-bit variant.
    std::printf("MT_d64 [0,1] %.6f  MT_d64_1 [0,1) %.6f  MT_d64_01 (0,1) %.6f  MT_d53_1 %.17f\n", LA::MT_d64(),
                LA::MT_d64_1(), LA::MT_d64_01(), LA::MT_d53_1());

    // Seed from the clock, then draw normal deviates N(10, 2^2): the sample
    // mean and deviation come out near 10 and 2.
    LA::Init_MT();
    const int count = 100000;
    double sum = 0, sum2 = 0;
    for (int i = 0; i < count; ++i) {
        const double g = LA::MT_Gauss64(10.0, 2.0);
        sum += g;
        sum2 += g * g;
    }
    const double mean = sum / count, sd = std::sqrt(sum2 / count - mean * mean);
    std::printf("MT_Gauss64(10, 2), %d draws: mean %.3f, standard deviation %.3f\n", count, mean, sd);
    if (std::fabs(mean - 10) > 0.05 || std::fabs(sd - 2) > 0.05) ++bad;

    std::printf("%s\n", bad ? "MISMATCH" : "generator checks out");
    return bad ? 1 : 0;
}
