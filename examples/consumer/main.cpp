// Uses the installed liblinalg through its public header only, and checks a
// few results that are exact in double arithmetic. Exits 0 when all hold.
#include <linalg.h>
#include <linalg_diag.h>

#include <cstdio>
#include <string>

using LinearAlgebra::LA;

namespace {
int failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failures;
}
} // namespace

int main() {
    double A[4] = {1, 2, 3, 4};
    double B[4] = {5, 6, 7, 8};
    double P[4] = {0, 0, 0, 0};
    LA::MultiplyMM(A, 2, 2, B, 2, P);
    check(P[0] == 19 && P[1] == 22 && P[2] == 43 && P[3] == 50, "MultiplyMM 2x2");

    double v[5] = {3, -1, 4, 1, -5};
    check(LA::SumV(v, 5) == 2, "SumV");
    check(LA::DotVV(v, v, 5) == 52, "DotVV");

    double s[5];
    LA::SortV(v, 5, s);
    check(s[0] == -5 && s[1] == -1 && s[2] == 1 && s[3] == 3 && s[4] == 4, "SortV");

    double T[4];
    LA::TransposeM(A, 2, 2, T);
    check(T[0] == 1 && T[1] == 3 && T[2] == 2 && T[3] == 4, "TransposeM");

    // A diagonal system with an exact solution, and the OpenMP product (the
    // OpenMP runtime comes in through the library's own dependency).
    double D[4] = {2, 0, 0, 4}, b[2] = {2, 8}, x[2] = {0, 0};
    LA::SolveLSE(D, b, x, 2);
    check(x[0] == 1 && x[1] == 2, "SolveLSE");
    check(LA::DeterminantMsq(D, 2) == 8, "DeterminantMsq");
    double P1[4] = {0, 0, 0, 0};
    check(LA::Init_openMP(2) == 0, "Init_openMP");
    LA::MultiplyMM1(A, 2, 2, B, 2, P1);
    check(P1[0] == 19 && P1[1] == 22 && P1[2] == 43 && P1[3] == 50, "MultiplyMM1 2x2");

    // The diagnostics header: the loaded library is the one of the headers,
    // and a singular system is reported through the status.
    check(std::string(LinearAlgebra::Diagnostics::Version()) == LINALG_VERSION_STRING, "Diagnostics::Version");
    double S[4] = {1, 1, 1, 1};
    LinearAlgebra::Diagnostics::SetMessageHandler([](const char*, void*) {}, nullptr);
    LA::SolveLSE(S, b, x, 2);
    check(LinearAlgebra::Diagnostics::LastError() == LinearAlgebra::Error::Singular, "Diagnostics::LastError");

    std::printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
