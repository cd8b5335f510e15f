// SortV, SortVI and FindV on vectors full of NaNs, infinities, signed zeros
// and ties.
//  * V is never changed (SortV with X == V excepted).
//  * SortV's output is a permutation of the input (same bits, as a
//    multiset), ascending when the input holds no NaN; sorting in place gives
//    the same bits as sorting a copy.
//  * SortVI writes a permutation of 0..n-1 that reorders V into exactly
//    SortV's output (both run the same passes).
//  * FindV lists, in ascending order, exactly the indices a plain loop with
//    the same comparison finds, and writes nothing past the count.
#include "fuzz_common.h"

#include "linalg.h"

#include <algorithm>
#include <vector>

using LinearAlgebra::LA;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int n = in.ConsumeIntegralInRange<int>(0, 300);
    std::vector<double> V(static_cast<std::size_t>(n));
    bool has_nan = false;
    for (auto& v : V) {
        v = fuzz::awkward_double(in);
        has_nan = has_nan || std::isnan(v);
    }
    const std::vector<double> V0 = V;

    // SortV into a separate array, and in place.
    std::vector<double> X(V.size(), 7.0);
    LA::SortV(V.data(), n, X.data());
    FUZZ_CHECK(fuzz::same_bits(V.data(), V0.data(), V.size()), "SortV changed its input");
    {
        std::vector<std::uint64_t> a, b;
        for (double v : V) a.push_back(fuzz::bits(v));
        for (double x : X) b.push_back(fuzz::bits(x));
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        FUZZ_CHECK(a == b, "SortV output is not a permutation of the input");
    }
    if (!has_nan)
        for (int i = 0; i + 1 < n; ++i) FUZZ_CHECK(X[i] <= X[i + 1], "SortV output not ascending", i);
    std::vector<double> Y = V;
    LA::SortV(Y.data(), n, Y.data());
    FUZZ_CHECK(fuzz::same_bits(X.data(), Y.data(), X.size()), "in-place SortV differs from SortV into a copy");

    // SortVI: a permutation that reproduces SortV's order.
    std::vector<int> XI(V.size(), -7);
    LA::SortVI(V.data(), n, XI.data());
    FUZZ_CHECK(fuzz::same_bits(V.data(), V0.data(), V.size()), "SortVI changed its input");
    std::vector<char> seen(V.size(), 0);
    for (int k = 0; k < n; ++k) {
        FUZZ_CHECK(XI[k] >= 0 && XI[k] < n, "SortVI index out of range", k, XI[k]);
        FUZZ_CHECK(!seen[XI[k]], "SortVI index repeated", k, XI[k]);
        seen[XI[k]] = 1;
        FUZZ_CHECK(fuzz::same_bits(V[XI[k]], X[k]), "SortVI order differs from SortV", k);
    }

    // FindV for the three conditions, against a threshold from the input.
    const double S = in.ConsumeBool() && n > 0 ? V[in.ConsumeIntegralInRange<int>(0, n - 1)]
                                                : fuzz::awkward_double(in);
    const int conds[3] = {in.ConsumeIntegralInRange<int>(-1000, -1), 0, in.ConsumeIntegralInRange<int>(1, 1000)};
    for (int cond : conds) {
        std::vector<int> idx(V.size() + 1, -3);
        const int count = LA::FindV(V.data(), n, S, cond, idx.data());
        int expect = 0;
        for (int i = 0; i < n; ++i) {
            const bool hit = cond < 0 ? V[i] < S : cond == 0 ? V[i] == S : V[i] > S;
            if (!hit) continue;
            FUZZ_CHECK(!std::isnan(V[i]), "FindV listed a NaN", i);
            FUZZ_CHECK(expect < count && idx[expect] == i, "FindV index list differs", expect, i);
            ++expect;
        }
        FUZZ_CHECK(count == expect, "FindV count", count, expect);
        for (std::size_t k = static_cast<std::size_t>(count); k < idx.size(); ++k)
            FUZZ_CHECK(idx[k] == -3, "FindV wrote past its count", static_cast<long long>(k));
        FUZZ_CHECK(fuzz::same_bits(V.data(), V0.data(), V.size()), "FindV changed its input");
    }
    return 0;
}
