// AggregateMMsq with valid block numbers (repeats allowed, mDim not always a
// multiple of vDim) and SelectMsq with arbitrary flags, on exactly sized
// arrays so that AddressSanitizer sees any access outside them.
//  * AggregateMMsq adds into M exactly what the plain four-loop definition
//    adds, bit for bit, and touches nothing else; m and VI are not changed.
//  * SelectMsq writes the s x s principal sub-matrix of the rows/columns
//    flagged exactly 1, and nothing past it.
#include "fuzz_common.h"

#include "linalg.h"

#include <vector>

using LinearAlgebra::LA;

namespace {

void aggregate(FuzzedDataProvider& in) {
    const int vDim = in.ConsumeIntegralInRange<int>(-1, 6);
    const int b = in.ConsumeIntegralInRange<int>(0, 4);
    const int rest = vDim > 0 ? in.ConsumeIntegralInRange<int>(0, vDim - 1) : 0;  // ignored rows of m
    const int mDim = vDim > 0 ? vDim * b + rest : in.ConsumeIntegralInRange<int>(0, 5);
    const int blocks = in.ConsumeIntegralInRange<int>(1, 8);  // blocks per side of M
    const int MDim = (b > 0 ? blocks * b : 0) + in.ConsumeIntegralInRange<int>(0, 3);
    const int valid_blocks = b > 0 ? MDim / b : 0;

    std::vector<int> VI(static_cast<std::size_t>(vDim > 0 ? vDim : 0));
    for (auto& k : VI) k = valid_blocks > 0 ? in.ConsumeIntegralInRange<int>(0, valid_blocks - 1) : 0;
    if (b > 0 && valid_blocks == 0 && vDim > 0) return;  // no valid block number exists
    std::vector<double> m(static_cast<std::size_t>(mDim) * mDim), M(static_cast<std::size_t>(MDim) * MDim);
    for (auto& x : m) x = in.ConsumeBool() ? fuzz::awkward_double(in) : fuzz::unit(in);
    for (auto& x : M) x = in.ConsumeBool() ? fuzz::awkward_double(in) : fuzz::unit(in);
    const std::vector<double> m0 = m;
    const std::vector<int> VI0 = VI;

    std::vector<double> want = M;
    if (vDim > 0 && mDim > 0) {
        const int bb = mDim / vDim;
        for (int bi = 0; bi < vDim; ++bi)
            for (int r = 0; r < bb; ++r)
                for (int bj = 0; bj < vDim; ++bj)
                    for (int q = 0; q < bb; ++q)
                        want[static_cast<std::size_t>(VI[bi] * bb + r) * MDim + VI[bj] * bb + q] +=
                            m[static_cast<std::size_t>(bi * bb + r) * mDim + bj * bb + q];
    }
    LA::AggregateMMsq(m.data(), mDim, VI.data(), vDim, M.data(), MDim);
    FUZZ_CHECK(fuzz::same_bits(M.data(), want.data(), M.size()), "AggregateMMsq differs from the definition");
    FUZZ_CHECK(fuzz::same_bits(m.data(), m0.data(), m.size()), "AggregateMMsq changed m");
    FUZZ_CHECK(VI == VI0, "AggregateMMsq changed VI");
}

void select(FuzzedDataProvider& in) {
    const int n = in.ConsumeIntegralInRange<int>(-2, 24);
    const std::size_t nn = n > 0 ? static_cast<std::size_t>(n) : 0;
    std::vector<int> VI(nn);
    int s = 0;
    for (auto& f : VI) {
        const int kind = in.ConsumeIntegralInRange<int>(0, 3);
        f = kind == 0 ? 1 : kind == 1 ? 0 : kind == 2 ? in.ConsumeIntegral<int>() : -1;
        s += f == 1;
    }
    std::vector<double> M(nn * nn);
    for (auto& x : M) x = fuzz::awkward_double(in);
    const std::vector<double> M0 = M;
    // s*s outputs plus a guard tail that must stay as it was.
    const std::size_t guard = 8;
    std::vector<double> X(static_cast<std::size_t>(s) * s + guard, -123.5);
    LA::SelectMsq(M.data(), n, VI.data(), X.data());
    std::size_t k = 0;
    for (int i = 0; i < n; ++i) {
        if (VI[i] != 1) continue;
        for (int j = 0; j < n; ++j)
            if (VI[j] == 1) {
                FUZZ_CHECK(fuzz::same_bits(X[k], M[static_cast<std::size_t>(i) * n + j]), "SelectMsq element", i, j);
                ++k;
            }
    }
    for (; k < X.size(); ++k) FUZZ_CHECK(X[k] == -123.5, "SelectMsq wrote past s*s", static_cast<long long>(k));
    FUZZ_CHECK(fuzz::same_bits(M.data(), M0.data(), M.size()), "SelectMsq changed M");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool())
        aggregate(in);
    else
        select(in);
    return 0;
}
