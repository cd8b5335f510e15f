// Embedding linalg in a larger program (a service, a language module, one
// rank of an MPI job): route the library's messages to your own log, test
// the outcome of each call, and keep the process alive when an eigen-solver
// meets NaN.
//
// Everything here is opt-in through linalg_diag.h; a program that never
// calls it gets the library's messages on standard output as always.
#include "linalg.h"
#include "linalg_diag.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

using LinearAlgebra::Diagnostics;
using LinearAlgebra::Error;
using LinearAlgebra::LA;

namespace {

// The handler may be called from several threads at once; this program has
// one, so a plain vector will do.
void collect(const char* text, void* user) { static_cast<std::vector<std::string>*>(user)->push_back(text); }

} // namespace

int main() {
    int bad = 0;
    std::printf("linalg %s, kernels for %s\n", Diagnostics::Version(), Diagnostics::InstructionSet());

    std::vector<std::string> log;
    Diagnostics::SetMessageHandler(collect, &log);

    // A singular system: X stays as it was, the message goes to the log.
    double A[4] = {1, 2,
                   2, 4};
    double B[2] = {1, 1};
    double X[2] = {0, 0};
    LA::SolveLSE(A, B, X, 2);
    if (Diagnostics::LastError() != Error::Singular) ++bad;
    std::printf("SolveLSE on a singular matrix: %s, %zu message(s) logged: \"%s\"\n",
                Diagnostics::ErrorName(Diagnostics::LastError()), log.size(), log.empty() ? "" : log.back().c_str());
    if (log.size() != 1 || log.back() != "ERROR! Singular system!") ++bad;

    // A regular one: the status is None again.
    A[3] = 5;
    LA::SolveLSE(A, B, X, 2);
    if (Diagnostics::LastError() != Error::None || std::fabs(X[0] - 3) > 1e-12 || std::fabs(X[1] + 1) > 1e-12) ++bad;
    std::printf("SolveLSE on a regular matrix: %s, X = (%g, %g)\n", Diagnostics::ErrorName(Diagnostics::LastError()),
                X[0], X[1]);

    // NaN into an eigen-solver: by default the process would end here. Without
    // the fatal exit the call returns with every output NaN.
    Diagnostics::SetFatalExit(false);
    double S[9] = {2, NAN, 0,
                   NAN, 2, -1,
                   0, -1, 2};
    double ev[3], eM[9];
    LA::EigenSymmSystemMsqH(S, 3, ev, eM);
    bool all_nan = true;
    for (double v : ev) all_nan = all_nan && std::isnan(v);
    for (double v : eM) all_nan = all_nan && std::isnan(v);
    if (Diagnostics::LastError() != Error::NonFinite || !all_nan) ++bad;
    std::printf("EigenSymmSystemMsqH on NaN: %s, outputs all NaN: %s, still running\n",
                Diagnostics::ErrorName(Diagnostics::LastError()), all_nan ? "yes" : "no");

    Diagnostics::SetMessageHandler(nullptr, nullptr);
    std::printf("%zu message(s) logged in all\n", log.size());
    std::printf(bad == 0 ? "embed example: OK\n" : "embed example: %d check(s) failed\n", bad);
    return bad == 0 ? 0 : 1;
}
