// The error contract through linalg_diag.h: for every message (and every
// status without one) the default output is the exact text on standard
// output and nothing else, a handler receives the same bytes with nothing
// left on standard output or standard error, and LastError() names the
// failure. Each case runs in a child process (the fatal exit ends it, the
// OpenMP thread count and the emulated devices are process state) with
// standard input a pipe holding one byte, so a read from it shows.
#include "testhooks.h"
#include "linalg.h"
#include "linalg_diag.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <ostream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "base/message.h"
#include "base/work_memory.h"
#include "eigen/eigen.h"
#include "kernels/kernels.h"
#include "base/team.h"
#if !defined(LINALG_CUDA_REAL)
#include "cuda/emu/emu_hooks.h"
#endif

using LinearAlgebra::Diagnostics;
using LinearAlgebra::Error;
using LinearAlgebra::LA;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Case {
    const char* name;
    std::function<bool()> call;  // the failing call; true when the outputs hold what the contract says
    Error error;                 // LastError() afterwards
    std::string text;            // exact bytes printed by default
    int exit_code = -1;          // -1: the call returns; else the process ends with this status
    bool fatal = true;           // Diagnostics::SetFatalExit
    bool interactive = true;     // Diagnostics::SetInteractive
    bool reads_stdin = false;    // consumes the byte waiting on standard input
    const char* stdin_text = "Z";
};

struct Outcome {
    std::string out, err, handled;
    int code = -1;  // exit status, or -1 when killed
    Error status = Error::None;
    bool outputs_ok = false;
    bool stdin_read = false;
};

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return s;
}

// Standard error without AddressSanitizer's note on the GPU emulation's
// fibers (makecontext/swapcontext), which is not the library's output.
std::string without_sanitizer_notes(const std::string& err) {
    std::string kept;
    std::size_t at = 0;
    while (at < err.size()) {
        std::size_t end = err.find('\n', at);
        end = end == std::string::npos ? err.size() : end + 1;
        const std::string line = err.substr(at, end - at);
        const bool note = line.rfind("==", 0) == 0 &&
                          line.find("==WARNING: ASan doesn't fully support makecontext") != std::string::npos;
        if (!note) kept += line;
        at = end;
    }
    return kept;
}

// The handler writes each text at once, so what it got before a fatal exit
// is kept too.
void to_fd(const char* text, void* user) {
    const int fd = *static_cast<int*>(user);
    for (std::size_t done = 0, len = std::strlen(text); done < len;) {
        const ssize_t n = write(fd, text + done, len - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

Outcome run_case(const Case& c, bool with_handler) {
    int out[2], err[2], handled[2], meta[2], in[2];
    for (int* p : {out, err, handled, meta, in}) EXPECT_EQ(pipe(p), 0);
    EXPECT_EQ(write(in[1], c.stdin_text, std::strlen(c.stdin_text)), static_cast<ssize_t>(std::strlen(c.stdin_text)));
    close(in[1]);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        static int handler_fd;
        handler_fd = handled[1];
        if (with_handler) Diagnostics::SetMessageHandler(to_fd, &handler_fd);
        Diagnostics::SetFatalExit(c.fatal);
        Diagnostics::SetInteractive(c.interactive);
        const bool ok = c.call();
        const int status = static_cast<int>(Diagnostics::LastError());
        std::fflush(stdout);
        char left = 0;
        const bool read_it = read(0, &left, 1) != 1;
        const char record[3] = {static_cast<char>(status), static_cast<char>(ok), static_cast<char>(read_it)};
        if (write(meta[1], record, 3) != 3) _exit(98);
        _exit(0);
    }
    for (int fd : {out[1], err[1], handled[1], meta[1], in[0]}) close(fd);
    Outcome o;
    o.out = drain(out[0]);
    o.err = without_sanitizer_notes(drain(err[0]));
    o.handled = drain(handled[0]);
    const std::string record = drain(meta[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    o.code = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    if (record.size() == 3) {
        o.status = static_cast<Error>(record[0]);
        o.outputs_ok = record[1] != 0;
        o.stdin_read = record[2] != 0;
    }
    return o;
}

// ---- inputs ------------------------------------------------------------------

std::vector<double> singular(int n) { return std::vector<double>(static_cast<std::size_t>(n) * n, 1.0); }

std::vector<double> regular(int n) {
    std::vector<double> a(static_cast<std::size_t>(n) * n, 0.25);
    for (int i = 0; i < n; ++i) a[static_cast<std::size_t>(i) * n + i] = 4.0 + i;
    return a;
}

// Every element x; a NaN filled in by the library is its one fixed NaN,
// the bits of quiet_NaN() on every processor.
bool all(const std::vector<double>& v, double x) {
    for (double e : v)
        if (!(std::isnan(x) ? std::memcmp(&e, &x, sizeof e) == 0 : e == x)) return false;
    return true;
}

using Solver = void (*)(double*, double*, double*, int);

// A solver on A with X filled with 7.0: true when X is still all 7.0.
bool solve_untouched(Solver s, std::vector<double> A) {
    const int n = static_cast<int>(std::lround(std::sqrt(static_cast<double>(A.size()))));
    std::vector<double> B(static_cast<std::size_t>(n), 1.0), X(static_cast<std::size_t>(n), 7.0);
    s(A.data(), B.data(), X.data(), n);
    return all(X, 7.0);
}

bool init_omp() { return LA::Init_openMP(2) == 0; }

using SymmSolver = void (*)(double*, int, double*, double*);

// Symmetric eigen-solver on a 3 x 3 matrix with one NaN in both triangles:
// true when every output element is NaN.
bool symm_on_nan(SymmSolver s) {
    std::vector<double> M = regular(3), eV(3, 7.0), eM(9, 7.0);
    M[1] = M[3] = kNaN;
    s(M.data(), 3, eV.data(), eM.data());
    return all(eV, kNaN) && all(eM, kNaN);
}

bool unsymm_on_nan() {
    std::vector<double> M = regular(3), re(3, 7.0), im(3, 7.0);
    M[5] = kNaN;
    LA::EigenUnSymmSystemMsq(M.data(), 3, re.data(), im.data());
    return all(re, kNaN) && all(im, kNaN);
}

// The k-th work allocation refused, then `call`.
std::function<bool()> short_of_memory(long long k, std::function<bool()> call) {
    return [k, call] {
        linalg::testhooks::fail_alloc_at(k);
        return call();
    };
}

std::string no_memory(const std::string& who, std::size_t bytes) {
    return "ERROR! Not enough memory for " + who + " (" + std::to_string(bytes) + " bytes)!\n";
}

const std::string kSingular = "ERROR! Singular system!";
const std::string kNoOmp = "\nERROR! OMP not initialized! Use LA::Init_openMP( max_threads )!\n";

std::string fatal_text(const std::string& reason, bool exiting) {
    return "NR run-time error...\n" + reason + (exiting ? "\n...now exiting to system...\n" : "\n");
}

std::vector<Case> cases() {
    std::vector<Case> v;
    const auto add = [&v](Case c) { v.push_back(std::move(c)); };
    // Singular systems.
    add({"SolveLSE_singular", [] { return solve_untouched(LA::SolveLSE, singular(3)); }, Error::Singular, kSingular});
    add({"SolveLSE1_singular", [] { return init_omp() && solve_untouched(LA::SolveLSE1, singular(3)); },
         Error::Singular, kSingular});
    add({"InverseMsq_singular",
         [] {
             std::vector<double> M = singular(3), iM(9);
             LA::InverseMsq(M.data(), iM.data(), 3);
             return true;
         },
         Error::Singular, kSingular});
    add({"DeterminantMsq_singular",
         [] {
             std::vector<double> M = singular(4);
             return LA::DeterminantMsq(M.data(), 4) == 0.0;
         },
         Error::Singular, kSingular});
    add({"DeterminantMsq_order2_zero",
         [] {
             std::vector<double> M = singular(2);
             return LA::DeterminantMsq(M.data(), 2) == 0.0;
         },
         Error::Singular, ""});
    add({"SolveLSE_success_after_failure",
         [] { return solve_untouched(LA::SolveLSE, singular(3)) && !solve_untouched(LA::SolveLSE, regular(3)); },
         Error::None, kSingular});
    // OpenMP before Init_openMP.
    add({"AddVV1_uninitialised",
         [] {
             std::vector<double> a(4, 1.0), x(4, 7.0);
             LA::AddVV1(a.data(), a.data(), 4, x.data());
             return all(x, 7.0);
         },
         Error::NotInitialized, kNoOmp});
    add({"SolveLSE1_uninitialised", [] { return solve_untouched(LA::SolveLSE1, regular(3)); },
         Error::NotInitialized, kNoOmp});
    add({"Init_openMP_zero", [] { return LA::Init_openMP(0) == -1; }, Error::NotInitialized, kNoOmp});
    add({"Init_openMP_above_bound", [] { return LA::Init_openMP(1 << 30) == 0; }, Error::None,
         "\nWARNING! Init_openMP(1073741824): more threads than the OpenMP runtime can start; using " +
             std::to_string(linalg::max_team_size()) + "!\n"});
    // Work memory.
    add({"SolveLSE_no_memory", short_of_memory(1, [] { return solve_untouched(LA::SolveLSE, regular(3)); }),
         Error::NoMemory, no_memory("the SolveLSE work matrix", 3 * 4 * sizeof(double))});
    add({"SolveLSE1_no_memory",
         [] { return init_omp() && short_of_memory(1, [] { return solve_untouched(LA::SolveLSE1, regular(3)); })(); },
         Error::NoMemory, no_memory("the SolveLSE1 work matrix", 3 * 4 * sizeof(double))});
    add({"InverseMsq_no_memory", short_of_memory(1,
                                                 [] {
                                                     std::vector<double> M = regular(3), iM(9, 7.0);
                                                     LA::InverseMsq(M.data(), iM.data(), 3);
                                                     return all(iM, 7.0);
                                                 }),
         Error::NoMemory, no_memory("the InverseMsq work matrix", 3 * 3 * sizeof(double))});
    add({"DeterminantMsq_no_memory", short_of_memory(1,
                                                     [] {
                                                         std::vector<double> M = regular(4);
                                                         return std::isnan(LA::DeterminantMsq(M.data(), 4));
                                                     }),
         Error::NoMemory, no_memory("the DeterminantMsq work matrix", 4 * 4 * sizeof(double))});
    add({"SortVI_no_memory", short_of_memory(1,
                                             [] {
                                                 std::vector<double> V{3, 1, 2};
                                                 std::vector<int> XI(3, 7);
                                                 LA::SortVI(V.data(), 3, XI.data());
                                                 return XI == std::vector<int>(3, 7);
                                             }),
         Error::NoMemory, no_memory("SortVI", 3 * sizeof(double))});
    const auto symm_untouched = [](SymmSolver s) {
        return [s] {
            std::vector<double> M = regular(3), eV(3, 7.0), eM(9, 7.0);
            s(M.data(), 3, eV.data(), eM.data());
            return all(eV, 7.0) && all(eM, 7.0);
        };
    };
    add({"EigenSymmSystemMsqJ_no_memory", short_of_memory(1, symm_untouched(LA::EigenSymmSystemMsqJ)),
         Error::NoMemory, no_memory("EigenSymmSystemMsqJ", 5 * sizeof(double*))});
    // Two work matrices of order 3 (2 allocations each) and d come first; a
    // work vector asks for its n+1 doubles, one before them and a line of
    // slack for the alignment.
    add({"jacobi_no_memory", short_of_memory(6, symm_untouched(LA::EigenSymmSystemMsqJ)), Error::NoMemory,
         no_memory("jacobi", 6 * sizeof(double) + 64)});
    add({"EigenSymmSystemMsqH_no_memory", short_of_memory(1, symm_untouched(LA::EigenSymmSystemMsqH)),
         Error::NoMemory, no_memory("EigenSymmSystemMsqH", 5 * sizeof(double*))});
    add({"EigenUnSymmSystemMsq_no_memory", short_of_memory(1,
                                                           [] {
                                                               std::vector<double> M = regular(3), r(3, 7.0),
                                                                                   i(3, 7.0);
                                                               LA::EigenUnSymmSystemMsq(M.data(), 3, r.data(),
                                                                                        i.data());
                                                               return all(r, 7.0) && all(i, 7.0);
                                                           }),
         Error::NoMemory, no_memory("EigenUnSymmSystemMsq", 5 * sizeof(double*))});
    // Eigen-solvers on NaN: the fatal exit by default, all-NaN outputs without it.
    const struct {
        const char* name;
        std::function<bool()> call;
        const char* reason;
    } eigen[] = {
        {"EigenSymmSystemMsqJ_NaN", [] { return symm_on_nan(LA::EigenSymmSystemMsqJ); },
         "Too many iterations in routine jacobi"},
        {"EigenSymmSystemMsqH_NaN", [] { return symm_on_nan(LA::EigenSymmSystemMsqH); },
         "Too many iterations in tqli"},
        {"EigenUnSymmSystemMsq_NaN", unsymm_on_nan, "Too many iterations in hqr"},
    };
    for (const auto& e : eigen) {
        add({e.name, e.call, Error::NonFinite, fatal_text(e.reason, true), 1});
        Case quiet{e.name, e.call, Error::NonFinite, fatal_text(e.reason, false)};
        quiet.fatal = false;
        add(quiet);
    }
    // Finite matrices always converge, so the failure on finite elements is
    // reached through the routine the three iterations share.
    Case stuck{"iteration_fails_on_finite_elements",
               [] {
                   linalg::clear_status();
                   linalg::fatal_numeric_error("Too many iterations in tqli");
                   return true;
               },
               Error::NotConverged, fatal_text("Too many iterations in tqli", false)};
    stuck.fatal = false;
    add(stuck);
#if !defined(LINALG_CUDA_REAL)
    namespace emu = linalg::emu::testhooks;
    add({"SolveLSE2_singular", [] { return solve_untouched(LA::SolveLSE2, singular(3)); }, Error::Singular,
         kSingular});
    add({"SolveLSE3_singular", [] { return solve_untouched(LA::SolveLSE3, singular(3)); }, Error::Singular,
         kSingular});
    add({"SolveLSEauto_singular",
         [] {
             std::vector<double> A = singular(3), B(3, 1.0), X(3, 7.0);
             LA::SolveLSEauto(A.data(), B.data(), X.data(), 3, 2, 100);
             return all(X, 7.0);
         },
         Error::Singular, kSingular});
    add({"SolveLSE3_no_memory", short_of_memory(1, [] { return solve_untouched(LA::SolveLSE3, regular(3)); }),
         Error::NoMemory, no_memory("SolveLSE3", 3 * 4 * sizeof(double))});
    const auto add_vv2 = [] {
        std::vector<double> a(4, 1.0), x(4, 7.0);
        LA::AddVV2(a.data(), a.data(), 4, x.data());
        return all(x, 7.0);
    };
    add({"AddVV2_device_out_of_memory",
         [add_vv2] {
             emu::fail_malloc_at(1);
             return add_vv2();
         },
         Error::NoMemory, "cudaMalloc error! out of memory\n"});
    add({"AddVV2_malloc_refused",
         [add_vv2] {
             emu::fail_malloc_at(1, cudaErrorInvalidValue);
             return add_vv2();
         },
         Error::Device, "cudaMalloc error! invalid argument\n"});
    add({"AddVV2_upload_fails",
         [add_vv2] {
             emu::fail_copy_at(1);
             return add_vv2();
         },
         Error::Device, "cudaMemcpy HtD error! invalid argument\n"});
    add({"MultiplyMM2_launch_fails",
         [] {
             emu::fail_launch_at(1);
             std::vector<double> a(4, 1.0), x(4, 7.0);
             LA::MultiplyMM2(a.data(), 2, 2, a.data(), 2, x.data());
             return all(x, 7.0);
         },
         Error::Device, "cudaMemcpy DtH error! unspecified launch failure\n"});
    const std::string no_gpu = "GPU=7 is not a valid Coprocessor Device!\n\nPress <Enter>...";
    Case waits{"Init_CUDA_no_device", [] { return LA::Init_CUDA(7) == -1; }, Error::NoDevice, no_gpu};
    waits.reads_stdin = true;
    add(waits);
    Case no_wait{"Init_CUDA_no_device_not_interactive", [] { return LA::Init_CUDA(7) == -1; }, Error::NoDevice,
                 no_gpu};
    no_wait.interactive = false;
    add(no_wait);
    Case old{"Init_CUDA_old_device",
             [] {
                 emu::set_devices({{3, 0}});
                 return LA::Init_CUDA(0) == 30;
             },
             Error::Device,
             "GPU=0 is not supported for double precision operations!\n"
             "GPU compute capability (3.0) is lower than expected (2.0).\n\nPress <Enter>..."};
    old.reads_stdin = true;
    add(old);
#endif
    // Console and serial port.
    Case any_key{"Press_and_Exit", [] {
                     ConsoleFunctions::CRT::Press_and_Exit(0);
                     return true;
                 },
                 Error::None, "\nPress any key..."};
    any_key.reads_stdin = true;
    add(any_key);
    Case enter{"Enter_and_Exit", [] {
                   ConsoleFunctions::CRT::Enter_and_Exit(0);
                   return true;
               },
               Error::None, "\nPress <Enter>..."};
    enter.reads_stdin = true;
    add(enter);
    Case eof{"keypressed_end_of_input", [] { return ConsoleFunctions::CRT::keypressed() == static_cast<char>(-1); }, Error::Io, ""};
    eof.stdin_text = "";
    eof.reads_stdin = true;  // to its end
    add(eof);
    add({"SendByte_bad_port", [] { return ConsoleFunctions::RS232::SendByte(1, 0, 9600) == -2; }, Error::Io, ""});
    // A companion library's message.
    add({"Report_text",
         [] {
             Diagnostics::Report(Error::Device, "companion: rank 3 lost\n");
             return true;
         },
         Error::Device, "companion: rank 3 lost\n"});
    add({"Report_status_only",
         [] {
             Diagnostics::Report(Error::NoMemory, nullptr);
             return true;
         },
         Error::NoMemory, ""});
    return v;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ErrorContract : public ::testing::TestWithParam<Case> {};

TEST_P(ErrorContract, DefaultBytesHandlerBytesAndStatus) {
    const Case& c = GetParam();
    for (const bool with_handler : {false, true}) {
        SCOPED_TRACE(with_handler ? "with a handler" : "default");
        const Outcome o = run_case(c, with_handler);
        EXPECT_EQ(o.out, with_handler ? "" : c.text);
        EXPECT_EQ(o.handled, with_handler ? c.text : "");
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.stdin_read, c.reads_stdin);
        if (c.exit_code >= 0) {
            EXPECT_EQ(o.code, c.exit_code);
            continue;
        }
        ASSERT_EQ(o.code, 0);
        EXPECT_EQ(Diagnostics::ErrorName(o.status), std::string(Diagnostics::ErrorName(c.error)));
        EXPECT_TRUE(o.outputs_ok) << "outputs not as the contract says";
    }
}

INSTANTIATE_TEST_SUITE_P(Diagnostics, ErrorContract, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& i) {
                             return std::string(i.param.name) + (i.param.fatal ? "" : "_no_exit") + "_" +
                                    std::to_string(i.index);
                         });

// The status belongs to the calling thread; concurrent failures reach the
// handler once each, whole, while other threads replace the handler.
TEST(Diagnostics, StatusPerThreadAndConcurrentHandler) {
    static std::atomic<int> calls{0}, wrong{0};
    struct Sink {
        static void count(const char* text, void*) {
            ++calls;
            if (std::string(text) != "ERROR! Singular system!") ++wrong;
        }
    };
    Diagnostics::SetMessageHandler(Sink::count, nullptr);
    std::vector<double> ok = regular(3), B(3, 1.0), X(3);
    LA::SolveLSE(ok.data(), B.data(), X.data(), 3);
    ASSERT_EQ(Diagnostics::LastError(), Error::None);
    std::vector<std::thread> team;
    std::atomic<int> failed_seen{0};
    for (int t = 0; t < 4; ++t)
        team.emplace_back([&failed_seen] {
            std::vector<double> A = singular(3), b(3, 1.0), x(3);
            for (int k = 0; k < 200; ++k) {
                LA::SolveLSE(A.data(), b.data(), x.data(), 3);
                if (Diagnostics::LastError() == Error::Singular) ++failed_seen;
            }
        });
    team.emplace_back([] {
        for (int k = 0; k < 200; ++k) Diagnostics::SetMessageHandler(Sink::count, nullptr);
    });
    for (auto& t : team) t.join();
    Diagnostics::SetMessageHandler(nullptr, nullptr);
    EXPECT_EQ(Diagnostics::LastError(), Error::None);  // untouched by the other threads
    EXPECT_EQ(failed_seen.load(), 800);
    EXPECT_EQ(calls.load(), 800);
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Diagnostics, NamesVersionAndInstructionSet) {
    const Error all_errors[] = {Error::None,      Error::Singular,       Error::NoMemory,
                                Error::NotConverged, Error::NonFinite, Error::NotInitialized,
                                Error::NoDevice,  Error::Device,         Error::Io};
    const char* const names[] = {"none",      "singular",        "no memory", "not converged", "non-finite",
                                 "not initialized", "no device", "device",    "io"};
    for (int i = 0; i < 9; ++i) EXPECT_STREQ(Diagnostics::ErrorName(all_errors[i]), names[i]);
    EXPECT_STREQ(Diagnostics::ErrorName(static_cast<Error>(99)), "unknown");
    EXPECT_STREQ(Diagnostics::Version(), LINALG_VERSION_STRING);
    for (const linalg::isa level : linalg::kNativeIsas) {
        if (!linalg::testhooks::force_isa(level)) continue;
        EXPECT_STREQ(Diagnostics::InstructionSet(), linalg::isa_name(level));
    }
    linalg::testhooks::reset_isa();
}

} // namespace
