// Process-wide Mersenne Twister MT19937 with its seeding routines, the
// conversions of a 32-bit output to integers and doubles, and a Box–Muller
// Gaussian draw with a cached second value.
//
// One generator per process, held in plain variables: callers serialise all
// calls. Until one of the seeding routines runs, the generator is marked
// unseeded and the first draw seeds it with 5489.
#ifndef LINALG_RANDOM_MT19937_H
#define LINALG_RANDOM_MT19937_H

#include <cstdint>

namespace linalg {

// Words of the MT19937 state.
constexpr int kGeneratorWords = 624;

// Seeds the state with the 32-bit value s (the reference initialisation with
// multiplier 1812433253); the next draw starts a fresh sequence.
void init_genrand(std::uint32_t s);

// Seeds the state from key_length 32-bit words (the reference array
// initialisation: preliminary seed 19650218, then max(624, key_length) mixing
// steps with 1664525, 623 with 1566083941, and mt[0] = 0x80000000).
// key_length must be >= 1 and init_key must hold that many words.
void init_by_array(const std::uint32_t* init_key, int key_length);

// init_genrand with the low 32 bits of the calendar time in seconds.
void init_genrand_by_time();

// init_by_array with a key of ten successive values of the C library's
// generator seeded with that time.
void init_by_array_by_time();

// Next tempered 32-bit output; regenerates the state every 624 outputs and
// seeds with 5489 first if nothing seeded the generator.
std::uint32_t genrand_int32();

// Conversions of the next output u (one output each):
std::int32_t genrand_int31();   // u >> 1, in 0 .. 2^31-1
double genrand_real1();         // [0, 1]:  u * (1/4294967295)
double genrand_real1a();        // (0, 1]:  (u, or 1 when u == 0) / 4294967295
double genrand_real2();         // [0, 1):  u * 2^-32
double genrand_real3();         // (0, 1):  (u + 0.5) * 2^-32
// [0, 1) with 53-bit resolution from two outputs a (>> 5) and b (>> 6).
double genrand_res53();

// Normal deviate with mean mu and standard deviation sigma by Box–Muller.
// Odd calls (counted from load) draw two (0, 1] values, cache the sine
// partner and return the cosine value; even calls return the cached partner
// scaled by their own mu and sigma and consume no output. Seeding does not
// clear the cache.
double generateGaussianNoise(double mu, double sigma);

// The conversions as pure functions of the output(s), so their formulas and
// interval ends can be checked for any u.
double u32_to_real1(std::uint32_t u);
double u32_to_real1a(std::uint32_t u);
double u32_to_real2(std::uint32_t u);
double u32_to_real3(std::uint32_t u);
double u32_pair_to_res53(std::uint32_t first, std::uint32_t second);

// The whole generator (state words, position, Gaussian cache) as a value,
// so that a caller can keep several independent streams and swap them in
// and out of the process-wide generator, serialising the swap and the draws
// itself.
struct GeneratorState {
    std::uint32_t words[kGeneratorWords];
    int position;
    bool gaussian_cached;
    double gaussian_partner;
};
// Copies the generator into *s.
void save_generator(GeneratorState* s);
// Makes *s the generator.
void restore_generator(const GeneratorState& s);

} // namespace linalg

#endif
