// Every allocation a library call makes can fail: its work memory
// (work_alloc), its heap objects (operator new, replaced below for the
// calling thread), and the GPU emulation's own host memory (device buffers,
// fiber stacks). For each exported function that allocates, the test counts
// its allocations of each kind in a normal call, then makes each of them
// fail in turn (k = 1 .. count) and checks that
//  * nothing is thrown and the failure is reported: a clear "not enough
//    memory" / "out of memory" message on standard output, or (serial port)
//    the error code,
//  * every output keeps its previous contents (sentinels), inputs too,
//  * no work block stays allocated (blocks_held returns to its start value),
//  * a following normal call gives the same bits as before, and leaves no
//    device memory behind.
// Functions that are documented to allocate nothing are checked to make no
// allocation at all.
#include <gtest/gtest.h>

#include <pty.h>
#include <pthread.h>
#include <unistd.h>

#include "testhooks.h"
#include "base/work_memory.h"
#include "linalg.h"
#include "support/reference.h"
#if !defined(LINALG_CUDA_REAL)
#include "cuda/emu/emu_hooks.h"
#endif

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

using LinearAlgebra::LA;
namespace hooks = linalg::testhooks;

// ---- operator new of the calling thread, counted and failed on demand -------

namespace {

std::atomic<bool> g_heap_armed{false};
pthread_t g_heap_thread;
long long g_heap_calls = 0;
long long g_heap_fail_at = 0;

// True when this allocation is to fail (counted on the armed thread only).
bool heap_refuses() {
    if (!g_heap_armed.load(std::memory_order_relaxed) || !pthread_equal(pthread_self(), g_heap_thread)) return false;
    return ++g_heap_calls == g_heap_fail_at;
}

void* heap_alloc(std::size_t n, std::size_t align) {
    if (heap_refuses()) return nullptr;
    if (n == 0) n = 1;
    if (align <= alignof(std::max_align_t)) return std::malloc(n);
    return std::aligned_alloc(align, (n + align - 1) / align * align);
}

void* heap_alloc_or_throw(std::size_t n, std::size_t align) {
    void* p = heap_alloc(n, align);
    if (!p) throw std::bad_alloc();
    return p;
}

void heap_arm(long long fail_at) {
    g_heap_thread = pthread_self();
    g_heap_calls = 0;
    g_heap_fail_at = fail_at;
    g_heap_armed = true;
}

long long heap_disarm() {
    g_heap_armed = false;
    return g_heap_calls;
}

} // namespace

// Every form, so that allocation and release always meet (the sanitizers
// check that they match).
void* operator new(std::size_t n) { return heap_alloc_or_throw(n, 0); }
void* operator new[](std::size_t n) { return heap_alloc_or_throw(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return heap_alloc_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return heap_alloc_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return heap_alloc(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return heap_alloc(n, 0); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return heap_alloc(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return heap_alloc(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

constexpr double kSentinel = -4.125e77;
constexpr int kIntSentinel = -777;

// A call with its own inputs and outputs. `run` calls the library once;
// `outputs` and `inputs` list the arrays to watch. With `status_result` the
// call reports a failure by returning -1 in `result` instead of a message.
struct Call {
    std::string name;
    std::vector<std::vector<double>> in;   // inputs, must not change
    std::vector<std::vector<double>> out;  // outputs, filled with kSentinel before each call
    std::vector<int> iout;                 // integer output, filled with kIntSentinel
    std::function<void(Call&)> run;
    double result = 0;                     // scalar result, when there is one
    bool status_result = false;
};

void reset_outputs(Call& c) {
    for (auto& o : c.out) std::fill(o.begin(), o.end(), kSentinel);
    std::fill(c.iout.begin(), c.iout.end(), kIntSentinel);
    c.result = 0;
}

// The kinds of allocation that can be made to fail.
enum class Kind { work, heap, emu };
const char* kind_name(Kind k) { return k == Kind::work ? "work memory" : k == Kind::heap ? "operator new" : "emulation"; }

struct Counts {
    long long work = 0, heap = 0, emu = 0;
    long long of(Kind k) const { return k == Kind::work ? work : k == Kind::heap ? heap : emu; }
};

// One run of the call with the k-th allocation of `kind` failing (k = 0:
// none); returns what it printed and the allocations it made. The GPU
// emulation starts from its state after load each time (empty stack pool),
// so every run makes the same allocations.
std::string run_once(Call& c, Kind kind, long long k, Counts* counts) {
#if !defined(LINALG_CUDA_REAL)
    linalg::emu::testhooks::reset();
    if (kind == Kind::emu) linalg::emu::testhooks::fail_host_alloc_at(k);
#endif
    hooks::reset_alloc_counters();
    if (kind == Kind::work) hooks::fail_alloc_at(k);
    ref::StdoutCapture cap;
    heap_arm(kind == Kind::heap ? k : 0);
    try {
        c.run(c);
    } catch (...) {
        heap_disarm();
        ADD_FAILURE() << "an exception escaped the call";
    }
    counts->heap = heap_disarm();
    const std::string printed = cap.finish();
    counts->work = hooks::alloc_calls();
    hooks::reset_alloc_counters();
#if !defined(LINALG_CUDA_REAL)
    counts->emu = linalg::emu::testhooks::host_alloc_calls();
    linalg::emu::testhooks::reset_host_alloc_calls();
#endif
    return printed;
}

bool reports_memory(const std::string& printed) {
    return printed.find("ERROR! Not enough memory") != std::string::npos ||
           printed.find(" error! out of memory\n") != std::string::npos;
}

int total_sites = 0;

// Runs the whole injection sequence on one call; returns its allocation
// counts.
Counts inject_every_allocation(Call c) {
    SCOPED_TRACE(c.name);
    const auto inputs = c.in;
    const long long held0 = hooks::blocks_held();

    reset_outputs(c);
    Counts normal_counts;
    const std::string normal_out = run_once(c, Kind::work, 0, &normal_counts);
    EXPECT_EQ(hooks::blocks_held(), held0) << "a normal call keeps work memory";
    EXPECT_FALSE(reports_memory(normal_out)) << normal_out;
    const auto normal = c.out;
    const auto normal_i = c.iout;
    const double normal_result = c.result;

    for (Kind kind : {Kind::work, Kind::heap, Kind::emu})
        for (long long k = 1; k <= normal_counts.of(kind); ++k) {
            SCOPED_TRACE(std::string(kind_name(kind)) + " allocation " + std::to_string(k) + " of " +
                         std::to_string(normal_counts.of(kind)) + " fails");
            reset_outputs(c);
            Counts counts;
            const std::string printed = run_once(c, kind, k, &counts);
            ++total_sites;

            EXPECT_GE(counts.of(kind), k) << "the failing allocation was never reached";
            if (c.status_result) {
                EXPECT_EQ(c.result, -1.0);
                EXPECT_EQ(printed, "");
            } else {
                EXPECT_TRUE(reports_memory(printed)) << "printed: '" << printed << "'";
            }
            EXPECT_EQ(hooks::blocks_held(), held0) << "work memory leaked";
            for (std::size_t a = 0; a < c.out.size(); ++a)
                for (std::size_t i = 0; i < c.out[a].size(); ++i)
                    if (std::memcmp(&c.out[a][i], &kSentinel, sizeof(double)) != 0) {
                        ADD_FAILURE() << "output " << a << " element " << i << " written: " << c.out[a][i];
                        break;
                    }
            for (std::size_t i = 0; i < c.iout.size(); ++i)
                if (c.iout[i] != kIntSentinel) {
                    ADD_FAILURE() << "integer output element " << i << " written: " << c.iout[i];
                    break;
                }
            for (std::size_t a = 0; a < inputs.size(); ++a)
                EXPECT_TRUE(ref::same_bits(c.in[a], inputs[a])) << "input " << a << " changed";
        }

    // Nothing is left over from the failures: a normal call again.
    reset_outputs(c);
    Counts again;
    run_once(c, Kind::work, 0, &again);
    for (std::size_t a = 0; a < c.out.size(); ++a) EXPECT_TRUE(ref::same_bits(c.out[a], normal[a]));
    EXPECT_EQ(c.iout, normal_i);
    EXPECT_EQ(std::memcmp(&c.result, &normal_result, sizeof(double)), 0);
#if !defined(LINALG_CUDA_REAL)
    EXPECT_EQ(linalg::emu::testhooks::allocations(), 0) << "device memory left";
#endif
    return normal_counts;
}

std::vector<double> sym(int n, std::uint64_t salt) {
    auto R = ref::random_vector(static_cast<std::size_t>(n) * n, salt);
    std::vector<double> S(R.size());
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) S[i * n + j] = 0.5 * (R[i * n + j] + R[j * n + i]);
    return S;
}

} // namespace

TEST(FaultInjection, SortVI) {
    for (int n : {1, 2, 17, 500}) {
        Call c{"SortVI n=" + std::to_string(n), {ref::random_vector(n, 11)}, {}, std::vector<int>(n), nullptr};
        c.run = [n](Call& k) { LA::SortVI(k.in[0].data(), n, k.iout.data()); };
        EXPECT_EQ(inject_every_allocation(c).work, 1);
    }
}

class FaultInjectionSolvers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ref::StdoutCapture quiet;
        ASSERT_EQ(LA::Init_openMP(2), 0);
    }
};

using SolverFn = void (*)(double*, double*, double*, int);

Counts inject_solver(const char* name, SolverFn f, int n) {
    Call c{std::string(name) + " n=" + std::to_string(n),
           {ref::random_matrix(n, 21), ref::random_vector(n, 22)}, {std::vector<double>(n)}, {}, nullptr};
    c.run = [f, n](Call& k) { f(k.in[0].data(), k.in[1].data(), k.out[0].data(), n); };
    return inject_every_allocation(c);
}

TEST_F(FaultInjectionSolvers, SolveLSE) {
    for (int n : {1, 2, 7, 60}) EXPECT_GE(inject_solver("SolveLSE", &LA::SolveLSE, n).work, 1);
}

TEST_F(FaultInjectionSolvers, SolveLSE1) {
    for (int n : {1, 2, 7, 60}) EXPECT_GE(inject_solver("SolveLSE1", &LA::SolveLSE1, n).work, 1);
}

TEST_F(FaultInjectionSolvers, SolveLSE3HostBuffer) {
    // The device memory of the GPU solver is not work memory; its host copy
    // of the eliminated system is.
    for (int n : {1, 5, 33}) EXPECT_EQ(inject_solver("SolveLSE3", &LA::SolveLSE3, n).work, 1);
}

TEST_F(FaultInjectionSolvers, InverseMsq) {
    for (int n : {1, 4, 30}) {
        Call c{"InverseMsq n=" + std::to_string(n), {ref::random_matrix(n, 31)},
               {std::vector<double>(static_cast<std::size_t>(n) * n)}, {}, nullptr};
        c.run = [n](Call& k) { LA::InverseMsq(k.in[0].data(), k.out[0].data(), n); };
        EXPECT_GE(inject_every_allocation(c).work, 1);
    }
}

TEST_F(FaultInjectionSolvers, DeterminantMsqFromOrderFour) {
    for (int n : {4, 5, 30}) {
        Call c{"DeterminantMsq n=" + std::to_string(n), {ref::random_matrix(n, 41)}, {}, {}, nullptr};
        c.run = [n](Call& k) { k.result = LA::DeterminantMsq(k.in[0].data(), n); };
        EXPECT_GE(inject_every_allocation(c).work, 1);
    }
    // Orders 1 to 3 use closed formulas and allocate nothing.
    for (int n : {1, 2, 3}) {
        auto A = ref::random_matrix(n, 42);
        hooks::reset_alloc_counters();
        LA::DeterminantMsq(A.data(), n);
        EXPECT_EQ(hooks::alloc_calls(), 0) << "n=" << n;
    }
}

TEST(FaultInjection, SymmetricEigenSolvers) {
    using EigFn = void (*)(double*, int, double*, double*);
    const std::pair<const char*, EigFn> solvers[] = {{"EigenSymmSystemMsqJ", &LA::EigenSymmSystemMsqJ},
                                                     {"EigenSymmSystemMsqH", &LA::EigenSymmSystemMsqH}};
    for (const auto& [name, f] : solvers)
        for (int n : {1, 2, 6, 20}) {
            Call c{std::string(name) + " n=" + std::to_string(n), {sym(n, 51)},
                   {std::vector<double>(n), std::vector<double>(static_cast<std::size_t>(n) * n)}, {}, nullptr};
            c.run = [f, n](Call& k) { f(k.in[0].data(), n, k.out[0].data(), k.out[1].data()); };
            EXPECT_GE(inject_every_allocation(c).work, 1);
        }
}

TEST(FaultInjection, UnsymmetricEigenSolver) {
    for (int n : {1, 2, 6, 20}) {
        Call c{"EigenUnSymmSystemMsq n=" + std::to_string(n), {ref::random_vector(static_cast<std::size_t>(n) * n, 61)},
               {std::vector<double>(n), std::vector<double>(n)}, {}, nullptr};
        c.run = [n](Call& k) { LA::EigenUnSymmSystemMsq(k.in[0].data(), n, k.out[0].data(), k.out[1].data()); };
        EXPECT_GE(inject_every_allocation(c).work, 1);
    }
}

#if !defined(LINALG_CUDA_REAL)
// The GPU variants on the emulation: device buffers, trace-free runtime
// bookkeeping and fiber stacks are all host memory here.
TEST_F(FaultInjectionSolvers, GpuVariants) {
    const int r = 5, k = 4, c = 6;
    const auto M = ref::random_vector(r * k, 71), N = ref::random_vector(k * c, 72), U = ref::random_vector(c, 73),
               W = ref::random_vector(r, 74);
    using Run = std::function<void(Call&)>;
    const std::pair<const char*, Run> ops[] = {
        {"MultiplyVS2", [](Call& x) { LA::MultiplyVS2(x.in[0].data(), 6, 1.5, x.out[0].data()); }},
        {"AddVV2", [](Call& x) { LA::AddVV2(x.in[0].data(), x.in[1].data(), 4, x.out[0].data()); }},
        {"SubstractVV2", [](Call& x) { LA::SubstractVV2(x.in[0].data(), x.in[1].data(), 4, x.out[0].data()); }},
        {"CrossVV2", [](Call& x) { LA::CrossVV2(x.in[3].data(), 5, x.in[2].data(), 6, x.out[0].data()); }},
        {"MultiplyMV2", [](Call& x) { LA::MultiplyMV2(x.in[0].data(), 5, x.in[1].data(), 4, x.out[0].data()); }},
        {"MultiplyVM2", [](Call& x) { LA::MultiplyVM2(x.in[2].data(), 4, x.in[1].data(), 6, x.out[0].data()); }},
        {"MultiplyMS2", [](Call& x) { LA::MultiplyMS2(x.in[0].data(), 5, 4, 0.5, x.out[0].data()); }},
        {"AddMM2", [](Call& x) { LA::AddMM2(x.in[0].data(), x.in[1].data(), 5, 4, x.out[0].data()); }},
        {"SubstractMM2", [](Call& x) { LA::SubstractMM2(x.in[0].data(), x.in[1].data(), 5, 4, x.out[0].data()); }},
        {"MultiplyMM2", [](Call& x) { LA::MultiplyMM2(x.in[0].data(), 5, 4, x.in[1].data(), 6, x.out[0].data()); }},
    };
    for (const auto& [name, run] : ops) {
        Call call{name, {M, N, U, W}, {std::vector<double>(r * c)}, {}, run};
        const Counts n = inject_every_allocation(call);
        EXPECT_GE(n.emu, 1) << name;  // at least the device buffers
    }
    // The solvers (SolveLSEauto by its two GPU branches).
    using SolverFn = void (*)(double*, double*, double*, int);
    const std::pair<const char*, SolverFn> solvers[] = {{"SolveLSE2", &LA::SolveLSE2}, {"SolveLSE3", &LA::SolveLSE3}};
    for (const auto& [name, f] : solvers) EXPECT_GE(inject_solver(name, f, 5).emu, 1);
    for (int n2 : {6, 2}) {
        Call call{"SolveLSEauto n2=" + std::to_string(n2), {ref::random_matrix(5, 75), ref::random_vector(5, 76)},
                  {std::vector<double>(5)}, {}, nullptr};
        call.run = [n2](Call& x) { LA::SolveLSEauto(x.in[0].data(), x.in[1].data(), x.out[0].data(), 5, 1, n2); };
        EXPECT_GE(inject_every_allocation(call).emu, 1);
    }
}
#endif

// The serial senders, on a pseudo-terminal behind a long device path (a
// string that needs the heap): a failure is the input/output error -1.
TEST(FaultInjection, SerialSenders) {
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    const std::string link = ::testing::TempDir() + "linalg-fault-injection-serial-device-" + std::to_string(getpid());
    unlink(link.c_str());
    ASSERT_EQ(symlink(name, link.c_str()), 0);
    setenv("LINALG_COM7", link.c_str(), 1);
    using Run = std::function<void(Call&)>;
    const std::pair<const char*, Run> ops[] = {
        {"SendByte", [](Call& x) { x.result = ConsoleFunctions::RS232::SendByte(0x41, 7, 9600); }},
        {"SendChar", [](Call& x) { x.result = ConsoleFunctions::RS232::SendChar(0x41, 7, 9600); }},
        // The progress senders return their own values; their sends are the
        // SendByte above.
    };
    for (const auto& [name_, run] : ops) {
        Call call{name_, {}, {}, {}, run};
        call.status_result = true;
        EXPECT_GE(inject_every_allocation(call).heap, 1) << name_;
    }
    unsetenv("LINALG_COM7");
    unlink(link.c_str());
    close(slave);
    close(master);
}

// Every other exported function allocates nothing: neither work memory nor
// heap objects (counted on the calling thread). (The matrix products do not
// at this size; larger ones may take a work block and, refused, go on
// without it, as the kernel tests check.)
TEST(FaultInjection, OtherFunctionsAllocateNothing) {
    const int n = 40;
    auto A = ref::random_vector(n * n, 1), B = ref::random_vector(n * n, 2), V = ref::random_vector(n, 3);
    std::vector<double> X(n * n);
    std::vector<int> XI(n), F(n, 1);
    {
        ref::StdoutCapture quiet;
        ASSERT_EQ(LA::Init_openMP(2), 0);
    }
    LA::AddVV1(V.data(), V.data(), n, X.data());  // the OpenMP runtime starts its threads outside the count
    ref::StdoutCapture cap;  // the console functions print nothing but blanks here
    hooks::reset_alloc_counters();
    heap_arm(0);
    LA::CopyV(V.data(), n, X.data());
    volatile double sink = LA::SumV(V.data(), n) + LA::SumVV(V.data(), n) + LA::SqrtVV(V.data(), n) +
                           LA::DotVV(V.data(), V.data(), n) + LA::MaxV(V.data(), 0, n - 1, 1) +
                           LA::idMaxV(V.data(), 0, n - 1, 1);
    LA::MultiplyVS(V.data(), n, 2.0, X.data());
    LA::MultiplyVS1(V.data(), n, 2.0, X.data());
    LA::AddVV(V.data(), V.data(), n, X.data());
    LA::SubstractVV1(V.data(), V.data(), n, X.data());
    LA::SelectV(V.data(), F.data(), n, X.data());
    LA::FindV(V.data(), n, 0.0, 1, XI.data());
    LA::SortV(V.data(), n, X.data());
    LA::ZeroV(X.data(), n);
    LA::ZeroVI1(XI.data(), n);
    LA::OneVI(XI.data(), n);
    LA::TableMultiplyVV1(V.data(), V.data(), n, X.data());
    LA::AssembleVV(V.data(), F.data(), n, V.data(), X.data());
    LA::CrossVV(V.data(), n, V.data(), n, X.data());
    LA::CrossVV1(V.data(), n, V.data(), n, X.data());
    LA::MultiplyMV(A.data(), n, V.data(), n, X.data());
    LA::MultiplyVM1(V.data(), n, A.data(), n, X.data());
    LA::MultiplyMS1(A.data(), n, n, 2.0, X.data());
    LA::AddMM(A.data(), B.data(), n, n, X.data());
    LA::SubstractMM1(A.data(), B.data(), n, n, X.data());
    LA::TransposeM(A.data(), n, n, X.data());
    LA::TransposeM1(A.data(), n, n, X.data());
    LA::SelectMsq(A.data(), n, F.data(), X.data());
    LA::MultiplyMM(A.data(), n, n, B.data(), n, X.data());
    LA::MultiplyMM1(A.data(), n, n, B.data(), n, X.data());
    LA::DeterminantMsq(A.data(), 3);
    LA::Init_MT();
    sink = sink + LA::MT_u32() + LA::MT_d53_1() + LA::MT_Gauss64(0.0, 1.0);
    ConsoleFunctions::CRT::gotoxy(3, 4);
    ConsoleFunctions::CRT::SetTextColor(14, 1);
    ConsoleFunctions::CRT::clrline(1, 3, 2);
    ConsoleFunctions::RS232::SendByte(1, 0, 9600);  // no such port
    const long long heap = heap_disarm();
    cap.finish();
    EXPECT_EQ(hooks::alloc_calls(), 0);
    EXPECT_EQ(heap, 0);
    hooks::reset_alloc_counters();
}

// Blocks of 4 MB and more take the huge-page path: aligned to 2 MB, usable to
// their last byte, counted and freed like any other; a size whose rounding
// up would wrap around is refused rather than turned into a small block.
TEST(WorkMemory, LargeBlocksAreUsableAndWrappingSizesAreRefused) {
    const long long before = hooks::blocks_held();
    for (std::size_t bytes : {std::size_t{4} << 20, (std::size_t{4} << 20) + 1, (std::size_t{6} << 20) + 8}) {
        auto* p = static_cast<unsigned char*>(linalg::work_alloc(bytes));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (std::size_t{2} << 20), 0u);
        std::memset(p, 0xab, bytes);
        EXPECT_EQ(p[bytes - 1], 0xab);
        EXPECT_EQ(hooks::blocks_held(), before + 1);
        linalg::work_free(p);
    }
    for (std::size_t bytes : {SIZE_MAX, SIZE_MAX - 4096}) EXPECT_EQ(linalg::work_alloc(bytes), nullptr);
    EXPECT_EQ(hooks::blocks_held(), before);
    hooks::reset_alloc_counters();
}

// The last large block freed (up to 128 MB) serves the next large request
// it can hold; a larger request gets other memory, and freeing a block above
// 128 MB keeps nothing new.
TEST(WorkMemory, LastLargeBlockFreedServesTheNextRequestItHolds) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer builds keep no block";
#endif
    constexpr std::size_t MB = std::size_t{1} << 20;
    void* p = linalg::work_alloc(8 * MB);
    ASSERT_NE(p, nullptr);
    linalg::work_free(p);
    void* larger = linalg::work_alloc(16 * MB);
    EXPECT_NE(larger, p);
    void* fits = linalg::work_alloc(6 * MB);
    EXPECT_EQ(fits, p);
    linalg::work_free(fits);
    linalg::work_free(larger);  // now kept instead of p
    void* huge = linalg::work_alloc(256 * MB);
    ASSERT_NE(huge, nullptr);
    linalg::work_free(huge);
    void* again = linalg::work_alloc(12 * MB);
    EXPECT_EQ(again, larger);
    linalg::work_free(again);
    hooks::reset_alloc_counters();
}

// Prints the number of injected failures when the program ends.
class SiteCount : public ::testing::Environment {
public:
    void TearDown() override {
        std::printf("allocation failure sites injected: %d\n", total_sites);
    }
};
const auto* const site_count = ::testing::AddGlobalTestEnvironment(new SiteCount);
