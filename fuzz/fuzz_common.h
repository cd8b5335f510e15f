// Shared pieces of the fuzz targets: decoding of awkward doubles from the
// fuzzer's bytes, bitwise comparison, and capture of standard output (the
// library reports problems there).
#ifndef LINALG_FUZZ_COMMON_H
#define LINALG_FUZZ_COMMON_H

#include <fuzzer/FuzzedDataProvider.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

// Aborts with a message: libFuzzer then saves the input as a crash.
[[noreturn]] inline void fail(const char* what, long long a = 0, long long b = 0) {
    std::fprintf(stderr, "fuzz check failed: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}
#define FUZZ_CHECK(cond, ...)                                  \
    do {                                                       \
        if (!(cond)) ::fuzz::fail(#cond " " __VA_ARGS__);      \
    } while (0)

inline std::uint64_t bits(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}
inline bool same_bits(double a, double b) { return bits(a) == bits(b); }
inline bool same_bits(const double* a, const double* b, std::size_t n) {
    return n == 0 || std::memcmp(a, b, n * sizeof(double)) == 0;
}

// One double: mostly values that break naive code — NaNs of both signs,
// infinities, signed zeros, denormals, extremes, small integers (ties) — and
// otherwise any bit pattern.
inline double awkward_double(FuzzedDataProvider& in) {
    const std::uint8_t kind = in.ConsumeIntegral<std::uint8_t>();
    switch (kind % 16) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return -std::numeric_limits<double>::quiet_NaN();
    case 2: return std::numeric_limits<double>::infinity();
    case 3: return -std::numeric_limits<double>::infinity();
    case 4: return 0.0;
    case 5: return -0.0;
    case 6: return std::numeric_limits<double>::denorm_min() * (kind & 0x80 ? -1 : 1);
    case 7: return (kind & 0x80 ? -1 : 1) * DBL_MAX;
    case 8: return (kind & 0x80 ? -1 : 1) * DBL_MIN;
    case 9: case 10: case 11: case 12: return static_cast<double>(static_cast<int>(kind >> 4) - 8);
    default: {
        const std::uint64_t u = in.ConsumeIntegral<std::uint64_t>();
        double x;
        std::memcpy(&x, &u, sizeof x);
        return x;
    }
    }
}

// A value in [-1, 1) from 16 bits.
inline double unit(FuzzedDataProvider& in) {
    return static_cast<double>(in.ConsumeIntegral<std::uint16_t>()) / 32768.0 - 1.0;
}

// Redirects file descriptor 1 into an in-memory file for the whole run; each
// call of take() returns what was printed since the previous one.
class StdoutTrap {
public:
    StdoutTrap() {
        std::fflush(stdout);
        fd_ = memfd_create("linalg-fuzz-stdout", 0);
        if (fd_ < 0 || dup2(fd_, 1) < 0) fail("cannot redirect stdout");
    }
    std::string take() {
        std::fflush(stdout);
        const off_t n = lseek(fd_, 0, SEEK_END);
        std::string s(static_cast<std::size_t>(n), '\0');
        if (n > 0 && pread(fd_, &s[0], static_cast<std::size_t>(n), 0) != n) fail("read stdout");
        if (ftruncate(fd_, 0) != 0) fail("truncate stdout");
        lseek(fd_, 0, SEEK_SET);
        return s;
    }
private:
    int fd_ = -1;
};

} // namespace fuzz

#endif
