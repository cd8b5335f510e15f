// LinearAlgebra::LA: the Mersenne Twister (random/mt19937.h). The generator
// leaves the status as it was.
#include "linalg.h"

#include "random/mt19937.h"

namespace LinearAlgebra {

using namespace linalg;

void LA::Init_MT() { init_genrand_by_time(); }
void LA::Init_MT_by_array() { init_by_array_by_time(); }

uint32_t LA::MT_u32() { return genrand_int32(); }
int32_t LA::MT_i31() { return genrand_int31(); }
double LA::MT_d64() { return genrand_real1(); }
double LA::MT_d64_0() { return genrand_real1a(); }
double LA::MT_d64_1() { return genrand_real2(); }
double LA::MT_d64_01() { return genrand_real3(); }
double LA::MT_d53_1() { return genrand_res53(); }
double LA::MT_Gauss64(double mu, double sigma) { return generateGaussianNoise(mu, sigma); }

} // namespace LinearAlgebra
