// Mersenne Twister MT19937 state, seeding and draws.
#include "random/mt19937.h"
#include "base/crmath.h"
#include "kernels/kernels.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace linalg {

namespace {

constexpr int N = kTwistWords;
static_assert(N == kGeneratorWords, "one state size");
constexpr std::uint32_t DEFAULT_SEED = 5489u;

std::uint32_t mt[N];
// Index of the next word to temper; N + 1 marks a generator never seeded.
int mti = N + 1;

// Gaussian cache: `generate` flips on every call; z1 is the cached partner.
bool generate = false;
double z0 = 0.0;
double z1 = 0.0;

// One twist over all N words (kernels/kernels.h).
void regenerate_state() {
    kernels().twist(mt);
    mti = 0;
}

} // namespace

void init_genrand(std::uint32_t s) {
    mt[0] = s;
    for (mti = 1; mti < N; ++mti)
        mt[mti] = 1812433253u * (mt[mti - 1] ^ (mt[mti - 1] >> 30)) + static_cast<std::uint32_t>(mti);
}

void init_by_array(const std::uint32_t* init_key, int key_length) {
    init_genrand(19650218u);
    if (key_length < 1) return;  // no key words: keep the preliminary seed
    int i = 1;
    int j = 0;
    for (int k = (N > key_length ? N : key_length); k > 0; --k) {
        mt[i] = (mt[i] ^ ((mt[i - 1] ^ (mt[i - 1] >> 30)) * 1664525u)) + init_key[j] +
                static_cast<std::uint32_t>(j);
        ++i;
        ++j;
        if (i >= N) {
            mt[0] = mt[N - 1];
            i = 1;
        }
        if (j >= key_length) j = 0;
    }
    for (int k = N - 1; k > 0; --k) {
        mt[i] = (mt[i] ^ ((mt[i - 1] ^ (mt[i - 1] >> 30)) * 1566083941u)) - static_cast<std::uint32_t>(i);
        ++i;
        if (i >= N) {
            mt[0] = mt[N - 1];
            i = 1;
        }
    }
    mt[0] = 0x80000000u;
}

std::uint32_t genrand_int32() {
    if (mti >= N) {
        if (mti == N + 1) init_genrand(DEFAULT_SEED);
        regenerate_state();
    }
    std::uint32_t y = mt[mti++];
    y ^= (y >> 11);
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= (y >> 18);
    return y;
}

double u32_to_real1(std::uint32_t u) { return static_cast<double>(u) * (1.0 / 4294967295.0); }

double u32_to_real1a(std::uint32_t u) {
    // A true division, and 0 replaced by 1 so the result is never 0.0.
    return static_cast<double>(u == 0u ? 1u : u) / 4294967295.0;
}

double u32_to_real2(std::uint32_t u) { return static_cast<double>(u) * (1.0 / 4294967296.0); }

double u32_to_real3(std::uint32_t u) {
    return (static_cast<double>(u) + 0.5) * (1.0 / 4294967296.0);
}

double u32_pair_to_res53(std::uint32_t first, std::uint32_t second) {
    const std::uint32_t a = first >> 5;
    const std::uint32_t b = second >> 6;
    return (static_cast<double>(b) + static_cast<double>(a) * 67108864.0) * (1.0 / 9007199254740992.0);
}

std::int32_t genrand_int31() { return static_cast<std::int32_t>(genrand_int32() >> 1); }
double genrand_real1() { return u32_to_real1(genrand_int32()); }
double genrand_real1a() { return u32_to_real1a(genrand_int32()); }
double genrand_real2() { return u32_to_real2(genrand_int32()); }
double genrand_real3() { return u32_to_real3(genrand_int32()); }

double genrand_res53() {
    const std::uint32_t first = genrand_int32();
    const std::uint32_t second = genrand_int32();
    return u32_pair_to_res53(first, second);
}

double generateGaussianNoise(double mu, double sigma) {
    generate = !generate;
    if (!generate) return z1 * sigma + mu;

    // Both draws lie in (0, 1], so the logarithm stays finite. log, sin and
    // cos are correctly rounded (base/crmath.h), so the draws have the same
    // bits with every C library (sqrt is correctly rounded everywhere).
    const double u1 = genrand_real1a();
    const double u2 = genrand_real1a();
    const double r = std::sqrt(cr_log(u1) * -2.0);
    const double theta = u2 * 6.283185307179586;
    double s, c;
    cr_sincos(theta, &s, &c);
    z0 = c * r;
    z1 = s * r;
    return z0 * sigma + mu;
}

void save_generator(GeneratorState* s) {
    std::memcpy(s->words, mt, sizeof mt);
    s->position = mti;
    s->gaussian_cached = generate;
    s->gaussian_partner = z1;
}

void restore_generator(const GeneratorState& s) {
    std::memcpy(mt, s.words, sizeof mt);
    mti = s.position;
    generate = s.gaussian_cached;
    z1 = s.gaussian_partner;
}

namespace testhooks {

void reset_generator() {
    mti = N + 1;
    generate = false;
    z0 = 0.0;
    z1 = 0.0;
}

bool gaussian_cached() { return generate; }

} // namespace testhooks

} // namespace linalg

namespace linalg {

namespace {
// Low 32 bits of the current calendar time in seconds.
std::uint32_t time_seed() {
    return static_cast<std::uint32_t>(static_cast<unsigned long long>(std::time(nullptr)));
}
} // namespace

void init_genrand_by_time() { init_genrand(time_seed()); }

void init_by_array_by_time() {
    // The key is ten successive values of the C library's generator seeded
    // with the time; any srand/rand pair serves.
    std::srand(time_seed());
    std::uint32_t key[10];
    for (auto& word : key) word = static_cast<std::uint32_t>(std::rand());
    init_by_array(key, 10);
}

} // namespace linalg
