// The OpenMP back-end before the first Init_openMP with a positive count.
// That state exists only once per process, so each check runs in a fresh
// child process (threadsafe death-test style re-executes this program) and
// reports through its exit status: 0 when every check held, otherwise the
// failed checks are listed on standard error.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "testhooks.h"
#include "base/work_memory.h"
#include "linalg.h"
#include "base/team.h"
#include "support/reference.h"

using LinearAlgebra::LA;

namespace {

const char kNotInit[] = "\nERROR! OMP not initialized! Use LA::Init_openMP( max_threads )!\n";

struct Child {
    int failures = 0;
    void expect(bool ok, const std::string& what) {
        if (!ok) {
            std::fprintf(stderr, "check failed: %s\n", what.c_str());
            ++failures;
        }
    }
    [[noreturn]] void finish() {
        std::fflush(stderr);
        std::_Exit(failures == 0 ? 0 : 1);
    }
};

// Calls f with stdout captured and returns what it printed.
std::string printed(const std::function<void()>& f) {
    ref::StdoutCapture cap;
    f();
    return cap.finish();
}

void every_variant_refuses() {
    Child c;
    c.expect(linalg::MAX_THREADS == 0, "count is 0 at load");
    const int n = 6;
    std::vector<double> a(n * n, 1.5), b(n * n, 2.5);
    std::vector<int> vi(n, 7);
    const double fill = 123.0;
    struct Call {
        const char* name;
        std::function<void(double*)> run;
    };
    const Call calls[] = {
        {"MultiplyVS1", [&](double* x) { LA::MultiplyVS1(a.data(), n, 2.0, x); }},
        {"AddVV1", [&](double* x) { LA::AddVV1(a.data(), b.data(), n, x); }},
        {"SubstractVV1", [&](double* x) { LA::SubstractVV1(a.data(), b.data(), n, x); }},
        {"ZeroV1", [&](double* x) { LA::ZeroV1(x, n); }},
        {"TableMultiplyVV1", [&](double* x) { LA::TableMultiplyVV1(a.data(), b.data(), n, x); }},
        {"CrossVV1", [&](double* x) { LA::CrossVV1(a.data(), n, b.data(), n, x); }},
        {"MultiplyMV1", [&](double* x) { LA::MultiplyMV1(a.data(), n, b.data(), n, x); }},
        {"MultiplyVM1", [&](double* x) { LA::MultiplyVM1(a.data(), n, b.data(), n, x); }},
        {"MultiplyMS1", [&](double* x) { LA::MultiplyMS1(a.data(), n, n, 2.0, x); }},
        {"AddMM1", [&](double* x) { LA::AddMM1(a.data(), b.data(), n, n, x); }},
        {"SubstractMM1", [&](double* x) { LA::SubstractMM1(a.data(), b.data(), n, n, x); }},
        {"TransposeM1", [&](double* x) { LA::TransposeM1(a.data(), n, n, x); }},
        {"MultiplyMM1", [&](double* x) { LA::MultiplyMM1(a.data(), n, n, b.data(), n, x); }},
        {"SolveLSE1", [&](double* x) { LA::SolveLSE1(a.data(), b.data(), x, n); }},
    };
    for (const Call& call : calls) {
        std::vector<double> x(n * n, fill);
        linalg::testhooks::reset_alloc_counters();
        const std::string out = printed([&] { call.run(x.data()); });
        c.expect(out == kNotInit, std::string(call.name) + " prints the message once, got \"" + out + "\"");
        bool untouched = true;
        for (double v : x) untouched = untouched && v == fill;
        c.expect(untouched, std::string(call.name) + " leaves its output untouched");
        c.expect(linalg::testhooks::alloc_calls() == 0, std::string(call.name) + " allocates nothing");
    }
    for (auto* f : {&LA::ZeroVI1, &LA::OneVI1}) {
        std::vector<int> x(n, 7);
        const std::string out = printed([&] { f(x.data(), n); });
        c.expect(out == kNotInit, "integer fill prints the message");
        c.expect(x == vi, "integer fill leaves its output untouched");
    }
    // An order of zero still makes the check.
    double x0 = fill;
    c.expect(printed([&] { LA::SolveLSE1(nullptr, nullptr, &x0, 0); }) == kNotInit, "SolveLSE1 n=0 checks first");
    c.expect(printed([&] { LA::AddVV1(nullptr, nullptr, 0, nullptr); }) == kNotInit, "AddVV1 n=0 checks first");
    c.finish();
}

void init_with_nonpositive_count_fails_until_initialised() {
    Child c;
    int r = 0;
    c.expect(printed([&] { r = LA::Init_openMP(0); }) == kNotInit, "Init_openMP(0) prints the message");
    c.expect(r == -1, "Init_openMP(0) returns -1");
    c.expect(printed([&] { r = LA::Init_openMP(-3); }) == kNotInit, "Init_openMP(-3) prints the message");
    c.expect(r == -1, "Init_openMP(-3) returns -1");
    c.expect(linalg::MAX_THREADS == 0, "count still 0");

    c.expect(printed([&] { r = LA::Init_openMP(2); }).empty(), "Init_openMP(2) is silent");
    c.expect(r == 0, "Init_openMP(2) returns 0");
    c.expect(printed([&] { r = LA::Init_openMP(0); }).empty(), "Init_openMP(0) after init is silent");
    c.expect(r == 0 && linalg::MAX_THREADS == 2, "Init_openMP(0) after init returns 0, count stays 2");

    double v1[3] = {1, 2, 3}, v2[3] = {10, 20, 30}, x[3] = {0, 0, 0};
    c.expect(printed([&] { LA::AddVV1(v1, v2, 3, x); }).empty(), "AddVV1 after init is silent");
    c.expect(x[0] == 11 && x[1] == 22 && x[2] == 33, "AddVV1 after init computes V1 + V2");

    double A[4] = {0, 1, 1, 0}, B[2] = {2, 3}, X[2] = {0, 0};
    LA::SolveLSE1(A, B, X, 2);
    c.expect(X[0] == 3 && X[1] == 2, "SolveLSE1 after init solves");
    c.finish();
}

class Uninitialised : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(Uninitialised, EveryVariantPrintsTheMessageAndLeavesItsOutput) {
    EXPECT_EXIT(every_variant_refuses(), ::testing::ExitedWithCode(0), "");
}

TEST_F(Uninitialised, InitWithNonPositiveCountFailsUntilACountIsRecorded) {
    EXPECT_EXIT(init_with_nonpositive_count_fails_until_initialised(), ::testing::ExitedWithCode(0), "");
}

} // namespace
