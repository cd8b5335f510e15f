// Arrays a function only reads can be passed as pointers to const (the
// header's inline overloads). One body calls every such function, once with
// const data and once with mutable copies of the same data: it must compile
// with both and give the same bits.
#include <linalg.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "support/reference.h"

using LinearAlgebra::LA;

namespace {

constexpr int n = 6;

// Calls every function that reads arrays, with the read-only arguments taken
// from a, b (n*n doubles) and flags (n ints); returns all outputs, in order.
template <class D, class I>
std::vector<double> run_all(D* a, D* b, I* flags) {
    // Function-pointer types of the calls below: for D = const double they
    // select the const overloads, for D = double the exported functions.
    using F0 = void (*)(D*, int, double, double*);
    using F1 = void (*)(D*, D*, int, double*);
    using F2 = void (*)(D*, int, D*, int, double*);
    using F3 = void (*)(D*, int, int, double, double*);
    using F4 = void (*)(D*, D*, int, int, double*);
    using F5 = void (*)(D*, int, int, double*);
    using F6 = void (*)(D*, int, int, D*, int, double*);
    using F7 = void (*)(D*, D*, double*, int);
    using F8 = void (*)(D*, int, double*, double*);
    std::vector<double> out;
    std::vector<double> x(n * n), y(n * n);
    std::vector<int> xi(n);
    auto keep = [&](const std::vector<double>& v) { out.insert(out.end(), v.begin(), v.end()); };
    auto keep_i = [&]() { for (int i : xi) out.push_back(i); };

    out.push_back(LA::SumV(a, n));
    out.push_back(LA::SumVV(a, n));
    out.push_back(LA::SqrtVV(a, n));
    out.push_back(LA::DotVV(a, b, n));
    out.push_back(LA::MaxV(a, 0, n - 1, 2));
    out.push_back(LA::idMaxV(a, 0, n - 1, 1));
    out.push_back(LA::FindV(a, n, 0.0, 1, xi.data()));
    keep_i();
    out.push_back(LA::DeterminantMsq(a, n));
    LA::CopyV(a, n, x.data()), keep(x);
    LA::SelectV(a, flags, n, x.data()), keep(x);
    LA::SortV(a, n, x.data()), keep(x);
    LA::SortVI(a, n, xi.data()), keep_i();
    LA::AssembleVV(a, flags, n, b, x.data()), keep(x);
    LA::SelectMsq(a, n, flags, x.data()), keep(x);
    std::vector<double> big(4 * n * n, 1.0);
    LA::AggregateMMsq(a, n, flags, 2, big.data(), 2 * n), keep(big);
    for (F0 f : std::initializer_list<F0>{&LA::MultiplyVS, &LA::MultiplyVS1, &LA::MultiplyVS2}) f(a, n, 0.5, x.data()), keep(x);
    for (F1 f : std::initializer_list<F1>{&LA::AddVV, &LA::AddVV1, &LA::AddVV2, &LA::SubstractVV, &LA::SubstractVV1,
                   &LA::SubstractVV2, &LA::TableMultiplyVV, &LA::TableMultiplyVV1})
        f(a, b, n, x.data()), keep(x);
    for (F2 f : std::initializer_list<F2>{&LA::CrossVV, &LA::CrossVV1, &LA::CrossVV2}) f(a, n, b, n, x.data()), keep(x);
    for (F2 f : std::initializer_list<F2>{&LA::MultiplyMV, &LA::MultiplyMV1, &LA::MultiplyMV2}) f(a, n, b, n, x.data()), keep(x);
    for (F2 f : std::initializer_list<F2>{&LA::MultiplyVM, &LA::MultiplyVM1, &LA::MultiplyVM2}) f(a, n, b, n, x.data()), keep(x);
    for (F3 f : std::initializer_list<F3>{&LA::MultiplyMS, &LA::MultiplyMS1, &LA::MultiplyMS2}) f(a, n, n, 3.0, x.data()), keep(x);
    for (F4 f : std::initializer_list<F4>{&LA::AddMM, &LA::AddMM1, &LA::AddMM2, &LA::SubstractMM, &LA::SubstractMM1, &LA::SubstractMM2})
        f(a, b, n, n, x.data()), keep(x);
    for (F5 f : std::initializer_list<F5>{&LA::TransposeM, &LA::TransposeM1}) f(a, n, n, x.data()), keep(x);
    for (F6 f : std::initializer_list<F6>{&LA::MultiplyMM, &LA::MultiplyMM1, &LA::MultiplyMM2}) f(a, n, n, b, n, x.data()), keep(x);
    for (F7 f : std::initializer_list<F7>{&LA::SolveLSE, &LA::SolveLSE1, &LA::SolveLSE2, &LA::SolveLSE3}) f(a, b, x.data(), n), keep(x);
    LA::SolveLSEauto(a, b, x.data(), n, 2, 4), keep(x);
    LA::InverseMsq(a, x.data(), n), keep(x);
    LA::EigenUnSymmSystemMsq(a, n, x.data(), y.data()), keep(x), keep(y);
    for (F8 f : std::initializer_list<F8>{&LA::EigenSymmSystemMsqJ, &LA::EigenSymmSystemMsqH}) f(a, n, x.data(), y.data()), keep(x), keep(y);
    return out;
}

} // namespace

TEST(ConstInputs, GiveTheBitsOfTheMutableCall) {
    ASSERT_EQ(LA::Init_openMP(2), 0);
    std::vector<double> ma(n * n), mb(n * n);
    for (int i = 0; i < n * n; ++i) {
        ma[i] = (i * 37 % 11) - 4.5 + (i % (n + 1) == 0 ? 10.0 : 0.0);  // diagonally dominant
        mb[i] = (i * 13 % 7) - 2.25;
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < i; ++j) ma[j * n + i] = ma[i * n + j];  // symmetric
    std::vector<int> mflags = {1, 0, 1, 1, 0, 1};
    const std::vector<double> ca = ma, cb = mb;
    const std::vector<int> cflags = mflags;

    const std::vector<double> with_const = run_all(ca.data(), cb.data(), cflags.data());
    const std::vector<double> with_mutable = run_all(ma.data(), mb.data(), mflags.data());
    EXPECT_TRUE(ref::same_bits(with_const, with_mutable));
    EXPECT_TRUE(ref::same_bits(ca, ma)) << "an input was written";
    EXPECT_GT(with_const.size(), 40u * n);
}
