// A program without a C runtime that calls linalg.dll and prints the bits of
// its results. Built twice: as a Visual C++-ABI program (clang in MSVC mode,
// the header's dllimport declarations, linked by lld-link against the
// Microsoft import library, so every call goes through an MSVC name) and as
// a MinGW program (GCC names); both outputs must be the same. It takes the
// address of every member the headers declare (the table is generated from
// them), so every export must link, and calls the Diagnostics members.
#include "linalg.h"
#include "linalg_diag.h"

extern "C" __declspec(dllimport) void* __stdcall GetStdHandle(unsigned long);
extern "C" __declspec(dllimport) int __stdcall WriteFile(void*, const void*, unsigned long, unsigned long*, void*);
extern "C" __declspec(dllimport) void __stdcall ExitProcess(unsigned);
extern "C" {
int _fltused = 0;  // the MSVC compiler's marker of floating-point use
}

namespace {

void put_bits(unsigned long long v) {
    char line[20];
    for (int i = 15; i >= 0; --i, v >>= 4) line[i] = "0123456789abcdef"[v & 15];
    line[16] = '\n';
    unsigned long n = 0;
    WriteFile(GetStdHandle(static_cast<unsigned long>(-11)), line, 17, &n, nullptr);
}

void put(double x) {
    unsigned long long v;
    __builtin_memcpy(&v, &x, 8);
    put_bits(v);
}
void put(int x) { put_bits(static_cast<unsigned int>(x)); }

// Bytes handed to the message handler, summed.
void count_bytes(const char* text, void* user) {
    while (*text++) ++*static_cast<int*>(user);
}

} // namespace

extern "C" void start() {
    using LinearAlgebra::LA;
    const int n = 6;
    double A[n * n], B[n], X[n * n], Y[n * n], e[n], ei[n];
    for (int i = 0; i < n * n; ++i) A[i] = (i * 7919 % 101) / 13.0 - 3.0;
    for (int i = 0; i < n; ++i) B[i] = i - 2.5;
    put(LA::Init_openMP(2));
    put(LA::DotVV(A, A + n, n));
    LA::MultiplyMM1(A, n, n, A, n, X);
    for (double x : X) put(x);
    LA::MultiplyVS2(B, n, 0.75, e);
    for (double x : e) put(x);
    LA::SolveLSE(A, B, e, n);
    for (double x : e) put(x);
    LA::InverseMsq(A, Y, n);
    for (double x : Y) put(x);
    put(LA::DeterminantMsq(A, n));
    LA::EigenUnSymmSystemMsq(X, n, e, ei);
    for (int i = 0; i < n; ++i) put(e[i]), put(ei[i]);
    for (int i = 0; i < 4; ++i) put(static_cast<int>(LA::MT_u32())), put(LA::MT_Gauss64(1.0, 2.0));
    ConsoleFunctions::CRT::SetTextDefault();
    put(ConsoleFunctions::RS232::SendByte(65, 21, 9600));

    // Diagnostics: a singular system's status and message, through a handler.
    using LinearAlgebra::Diagnostics;
    int bytes = 0;
    Diagnostics::SetMessageHandler(count_bytes, &bytes);
    Diagnostics::SetFatalExit(false);
    Diagnostics::SetInteractive(false);
    double S[4] = {1.0, 2.0, 2.0, 4.0}, s[2] = {1.0, 1.0}, x[2] = {0.0, 0.0};
    LA::SolveLSE(S, s, x, 2);
    put(static_cast<int>(Diagnostics::LastError()));
    put(bytes);  // "ERROR! Singular system!": 23 bytes
    put(static_cast<int>(*Diagnostics::ErrorName(Diagnostics::LastError())));
    Diagnostics::Report(LinearAlgebra::Error::Io, nullptr);
    put(static_cast<int>(Diagnostics::LastError()));
    put(static_cast<int>(*Diagnostics::Version() != 0) + 2 * static_cast<int>(*Diagnostics::InstructionSet() != 0));
    Diagnostics::SetMessageHandler(nullptr, nullptr);

    // Every exported member, by address.
    const void* const every[] = {
#include "msvc_members.inc"
    };
    int linked = 0;
    for (const void* p : every) linked += p != nullptr;
    put(linked);
    ExitProcess(0);
}
