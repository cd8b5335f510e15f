// The tables, the one choice among them made at load (LINALG_ISA), the test
// hook, and the int-dimension forms of the products.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/message.h"
#include "base/work_memory.h"
#include "kernels/isa_tables.h"

namespace linalg {

namespace {

struct Tables {
    kernel_table reference;
    kernel_table by_isa[kIsaCount];
};

// Built on first use (thread-safe), from whichever static initializer or
// thread asks first.
const Tables& tables() {
    static const Tables t = [] {
        Tables s;
        s.reference = make_reference_table();
        // By set number; the sets of other architectures (nullptr) keep the
        // reference's entries under their own level and name.
#if defined(__x86_64__) || defined(__i386__)
        void (*const override[kIsaCount])(kernel_table&) = {override_sse2, override_avx2, override_avx512,
                                                             override_avx512_256, nullptr, nullptr};
#elif defined(__aarch64__)
        void (*const override[kIsaCount])(kernel_table&) = {nullptr, nullptr, nullptr, nullptr, nullptr,
                                                             override_neon};
#else
        void (*const override[kIsaCount])(kernel_table&) = {};
#endif
        for (int i = 0; i < kIsaCount; ++i) {
            s.by_isa[i] = s.reference;
            if (override[i] != nullptr) {
                override[i](s.by_isa[i]);
            } else {
                s.by_isa[i].level = static_cast<isa>(i);
                s.by_isa[i].name = isa_name(static_cast<isa>(i));
            }
        }
        return s;
    }();
    return t;
}

// The processor features a set needs, as a rank (its place among this
// architecture's sets, -1 for another architecture's): a set runs wherever
// one of equal or higher rank does.
int feature_rank(isa level) {
    if (level == isa::avx512_256) level = isa::avx512;
    for (int i = 0; i < static_cast<int>(sizeof kNativeIsas / sizeof kNativeIsas[0]); ++i)
        if (kNativeIsas[i] == level) return i;
    return -1;
}

// The names of this architecture's sets, as the message on an unknown one
// lists them: "a, b or c".
std::string native_names() {
    std::string s;
    const int n = static_cast<int>(sizeof kNativeIsas / sizeof kNativeIsas[0]);
    for (int i = 0; i < n; ++i) {
        if (i > 0) s += i == n - 1 ? " or " : ", ";
        s += isa_name(kNativeIsas[i]);
    }
    return s;
}

#if defined(__x86_64__) || defined(__i386__)
// Processors that execute a 512-bit operation as two 256-bit halves (AMD's
// with AVX-512) gain nothing from the wider vectors, and their AVX-512VL
// 12 x 8 product tile and the 6 x 8 row update keep more of the work in
// registers per load.
bool splits_512_bit_operations() {
    __builtin_cpu_init();
    return __builtin_cpu_is("amd");
}
#endif

// The choice at load: the best set, or the lower one LINALG_ISA names. A
// value that cannot be honoured is reported once on standard error.
const kernel_table* load_choice() {
    static const kernel_table* const chosen = [] {
        std::string reason;
        const isa level = choose_isa(std::getenv("LINALG_ISA"), default_isa(), &reason);
        if (!reason.empty()) emit(Out::err, "linalg: %s\n", reason.c_str());
        return &kernels_for(level);
    }();
    return chosen;
}

// Set while the library loads; a static initializer elsewhere that runs
// first still gets the same choice through kernels().
std::atomic<const kernel_table*> active{load_choice()};

} // namespace

bool isa_supported(isa level) {
#if defined(__x86_64__) || defined(__i386__)
    // Needed when called from a static initializer that may run before the
    // run-time library has identified the processor.
    __builtin_cpu_init();
    switch (level) {
    case isa::sse2: return true;
    case isa::avx2: return __builtin_cpu_supports("avx2");
    // Everything avx512.cpp is built for (see kernels.cmake).
    case isa::avx512:
    case isa::avx512_256:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    // Sets of another architecture.
    case isa::generic:
    case isa::neon: return false;
    }
    return false;
#elif defined(__aarch64__)
    // Advanced SIMD is part of every aarch64 processor.
    return level == isa::generic || level == isa::neon;
#else
    return level == isa::generic;
#endif
}

const char* isa_name(isa level) {
    switch (level) {
    case isa::sse2: return "sse2";
    case isa::avx2: return "avx2";
    case isa::avx512: return "avx512";
    case isa::avx512_256: return "avx512_256";
    case isa::generic: return "generic";
    case isa::neon: return "neon";
    }
    return "?";
}

isa default_isa() {
#if defined(__x86_64__) || defined(__i386__)
    if (isa_supported(isa::avx512)) return splits_512_bit_operations() ? isa::avx512_256 : isa::avx512;
    if (isa_supported(isa::avx2)) return isa::avx2;
    return isa::sse2;
#elif defined(__aarch64__)
    return isa::neon;
#else
    return isa::generic;
#endif
}

isa choose_isa(const char* value, isa best, std::string* reason) {
    std::string why;
    isa level = best;
    if (value != nullptr && *value != '\0') {
        // What each rank needs of the processor (see feature_rank).
#if defined(__x86_64__) || defined(__i386__)
        static const char* const cpu_name[] = {"SSE2", "AVX2", "AVX-512F/DQ/BW/VL"};
#elif defined(__aarch64__)
        static const char* const cpu_name[] = {"nothing", "Advanced SIMD"};
#else
        static const char* const cpu_name[] = {"nothing"};
#endif
        int found = -1;
        for (int i = 0; i < kIsaCount; ++i)
            if (feature_rank(static_cast<isa>(i)) >= 0 && std::strcmp(value, isa_name(static_cast<isa>(i))) == 0)
                found = i;
        if (found < 0)
            why = std::string("LINALG_ISA=") + value + " ignored: unknown instruction set (" + native_names() + ")";
        else if (feature_rank(static_cast<isa>(found)) > feature_rank(best))
            why = std::string("LINALG_ISA=") + value + " ignored: CPU lacks " + cpu_name[feature_rank(static_cast<isa>(found))];
        else
            level = static_cast<isa>(found);
    }
    if (reason) *reason = why;
    return level;
}

const kernel_table& reference_kernels() { return tables().reference; }

const kernel_table& kernels_for(isa level) { return tables().by_isa[static_cast<int>(level)]; }

const kernel_table& kernels() {
    const kernel_table* t = active.load(std::memory_order_acquire);
    if (t != nullptr) return *t;
    // Reached only when a static initializer in another file calls in before
    // this file's own has chosen the table: the first such call chooses it,
    // once.
    const kernel_table* expected = nullptr;
    active.compare_exchange_strong(expected, load_choice(), std::memory_order_acq_rel);
    return *active.load(std::memory_order_acquire);
}

namespace testhooks {
bool force_isa(isa level) {
    const int i = static_cast<int>(level);
    if (i < 0 || i >= kIsaCount || !isa_supported(level)) return false;
    active.store(&kernels_for(level), std::memory_order_release);
    return true;
}
void reset_isa() { active.store(load_choice(), std::memory_order_release); }
} // namespace testhooks

void mm_rows(const double* A, int nCols, const double* B, int nCols2, double* X, idx r0, idx r1) {
    if (r1 <= r0 || nCols2 <= 0) return;
    const idx k = nCols < 0 ? 0 : nCols;
    // Small products: packing would cost more than it saves.
    const kernel_table& t = kernels();
    if ((r1 - r0) * nCols2 * k <= t.blocking.direct_products)
        t.mm_direct(A, k, B, nCols2, X, r0, r1);
    else
        t.mm_rows(A, k, B, nCols2, X, r0, r1);
}

const kernel_table* mm_team_for(idx rows, int nCols, int nCols2) {
    // Below a few hundred rows each thread's rows fit one packed block of A
    // and B's packing is cheap beside the product; such products keep to
    // the stack.
    if (rows < 256 || nCols <= 0 || nCols2 <= 0) return nullptr;
    const kernel_table& t = kernels();
    return t.mm_team_fn ? &t : nullptr;
}

std::size_t packed_slice_bytes(const kernel_blocking& b, idx k, idx m) {
    const idx nr = b.nr;
    const idx width = ((b.nc > 0 ? std::min<idx>(m, b.nc) : m) + nr - 1) / nr * nr;
    const std::size_t bytes = work_bytes(b.kc > 0 ? std::min<idx>(k, b.kc) : k, width, sizeof(double));
    return bytes != 0 && bytes <= SIZE_MAX - 64 ? bytes + 64 : 0;
}

void mv_rows(const double* M, const double* V, int nRowsV, double* X, idx r0, idx r1) {
    if (r1 <= r0) return;
    kernels().mv_rows(M, V, nRowsV < 0 ? 0 : nRowsV, X, r0, r1);
}

void vm_cols(const double* V, int nColsV, const double* M, int nColsM, double* X, idx c0, idx c1) {
    if (c1 <= c0) return;
    kernels().vm_cols(V, nColsV < 0 ? 0 : nColsV, M, nColsM, X, c0, c1);
}

void cross_rows(const double* V1, const double* V2, int nCols, double* X, idx r0, idx r1) {
    if (r1 <= r0 || nCols <= 0) return;
    kernels().cross_rows(V1, V2, nCols, X, r0, r1);
}

void transpose_rows(const double* M, int nRows, int nCols, double* X, idx r0, idx r1) {
    if (r1 <= r0 || nCols <= 0 || nRows <= 0) return;
    kernels().transpose_rows(M, nRows, nCols, X, r0, r1);
}

const char* instruction_set_name() {
    const kernel_table* t = &kernels();
    for (int i = 0; i < kIsaCount; ++i)
        if (t == &kernels_for(static_cast<isa>(i))) return isa_name(static_cast<isa>(i));
    return "reference";
}

} // namespace linalg
