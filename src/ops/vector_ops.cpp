// Vector operations behind LinearAlgebra::LA: the element-wise ones written
// once over a range of indices with a sequential and an OpenMP entry point
// (ops/operations.h), and the sequential reductions, selections and sorts.
#include "ops/operations.h"

#include "base/message.h"
#include "base/sort.h"
#include "base/work_memory.h"
#include "ops/run.h"

#include <cmath>

namespace linalg {

void copy_v(double* Vin, int nDim, double* Vout) {
    for (idx i = 0; i < nDim; ++i) Vout[i] = Vin[i];
}

// The reductions are one chain of dependent additions in ascending order; the
// chain asks for data sooner than a single stream of loads from main memory
// delivers it, so long vectors prefetch a few cache lines ahead. The order of
// the additions, and so every bit of the result, is that of the plain loop.
namespace {
constexpr idx kLine = 8;          // doubles per 64-byte cache line
constexpr idx kAhead = 64 * kLine;  // prefetch distance: 64 lines (4 KiB)

template <class Term>
inline double ordered_sum(idx n, Term term, const double* a, const double* b) {
    double s = 0.0;
    idx i = 0;
    for (; i + kLine <= n; i += kLine) {
        __builtin_prefetch(a + i + kAhead);
        if (b) __builtin_prefetch(b + i + kAhead);
        for (idx j = i; j < i + kLine; ++j) s += term(j);
    }
    for (; i < n; ++i) s += term(i);
    return s;
}
} // namespace

double sum_v(double* V, int nDim) {
    return ordered_sum(nDim, [V](idx i) { return V[i]; }, V, nullptr);
}

double sum_vv(double* V, int nDim) {
    return ordered_sum(nDim, [V](idx i) { return V[i] * V[i]; }, V, nullptr);
}

double sqrt_vv(double* V, int nDim) { return std::sqrt(sum_vv(V, nDim)); }

double dot_vv(double* V1, double* V2, int nDim) {
    return ordered_sum(nDim, [V1, V2](idx i) { return V1[i] * V2[i]; }, V1, V2);
}

// The element-wise operations, each over [i0, i1) of its index.
namespace {

template <Run R>
void scale_range(double* V, int nDim, double S, double* X) {
    run_range<R>(nDim, [&](idx i0, idx i1) { kernels().scale(V, S, X, i0, i1); });
}

template <Run R>
void add_range(double* V1, double* V2, int nDim, double* X) {
    run_range<R>(nDim, [&](idx i0, idx i1) { kernels().add(V1, V2, X, i0, i1); });
}

template <Run R>
void sub_range(double* V1, double* V2, int nDim, double* X) {
    run_range<R>(nDim, [&](idx i0, idx i1) { kernels().sub(V1, V2, X, i0, i1); });
}

template <Run R>
void mul_range(double* V1, double* V2, int nDim, double* X) {
    run_range<R>(nDim, [&](idx i0, idx i1) { kernels().mul(V1, V2, X, i0, i1); });
}

template <Run R, class T>
void fill_range(T* V, int nDim, T value) {
    run_range<R>(nDim, [&](idx i0, idx i1) {
        for (idx i = i0; i < i1; ++i) V[i] = value;
    });
}

template <Run R>
void cross_range(double* V1, int nRows, double* V2, int nCols, double* X) {
    run_range<R>(nRows, [&](idx i0, idx i1) { cross_rows(V1, V2, nCols, X, i0, i1); });
}

} // namespace

void multiply_vs(double* V, int nDim, double S, double* X) { scale_range<Run::serial>(V, nDim, S, X); }
void add_vv(double* V1, double* V2, int nDim, double* X) { add_range<Run::serial>(V1, V2, nDim, X); }
void substract_vv(double* V1, double* V2, int nDim, double* X) { sub_range<Run::serial>(V1, V2, nDim, X); }
void table_multiply_vv(double* V1, double* V2, int nDim, double* X) { mul_range<Run::serial>(V1, V2, nDim, X); }
void zero_v(double* V, int nDim) { fill_range<Run::serial>(V, nDim, 0.0); }
void zero_vi(int* VI, int nDim) { fill_range<Run::serial>(VI, nDim, 0); }
void one_vi(int* VI, int nDim) { fill_range<Run::serial>(VI, nDim, 1); }
void cross_vv(double* V1, int nRows, double* V2, int nCols, double* X) {
    cross_range<Run::serial>(V1, nRows, V2, nCols, X);
}

// The OpenMP entry points: the initialisation check, then the team run.
void MultiplyVSomp(double* V, int nDim, double S, double* X) {
    if (omp_initialised()) scale_range<Run::team>(V, nDim, S, X);
}
void AddVVomp(double* V1, double* V2, int nDim, double* X) {
    if (omp_initialised()) add_range<Run::team>(V1, V2, nDim, X);
}
void SubstractVVomp(double* V1, double* V2, int nDim, double* X) {
    if (omp_initialised()) sub_range<Run::team>(V1, V2, nDim, X);
}
void TableMultiplyVVomp(double* V1, double* V2, int nDim, double* X) {
    if (omp_initialised()) mul_range<Run::team>(V1, V2, nDim, X);
}
void ZeroVomp(double* V, int nDim) {
    if (omp_initialised()) fill_range<Run::team>(V, nDim, 0.0);
}
void ZeroVIomp(int* VI, int nDim) {
    if (omp_initialised()) fill_range<Run::team>(VI, nDim, 0);
}
void OneVIomp(int* VI, int nDim) {
    if (omp_initialised()) fill_range<Run::team>(VI, nDim, 1);
}
void CrossVVomp(double* V1, int nRows, double* V2, int nCols, double* X) {
    if (omp_initialised()) cross_range<Run::team>(V1, nRows, V2, nCols, X);
}

void select_v(double* V, int* VI, int nDim, double* X) {
    idx k = 0;
    for (idx i = 0; i < nDim; ++i)
        if (VI[i] == 1) X[k++] = V[i];
}

void assemble_vv(double* V1, int* VI, int nDim, double* V2, double* X) {
    idx k = 0;
    for (idx i = 0; i < nDim; ++i) X[i] = (VI[i] != 0) ? V2[k++] : V1[i];
}

int find_v(double* V, int nDim, double S, int Cond, int* XI) {
    int count = 0;
    for (int i = 0; i < nDim; ++i) {
        const bool hit = Cond < 0 ? V[i] < S : (Cond == 0 ? V[i] == S : V[i] > S);
        if (hit) XI[count++] = i;
    }
    return count;
}

void sort_v(double* V, int nDim, double* X) {
    if (nDim <= 0) return;
    if (X != V)
        for (idx i = 0; i < nDim; ++i) X[i] = V[i];
    shell_sort(X, nDim, static_cast<int*>(nullptr));
}

void sort_vi(double* V, int nDim, int* XI) {
    if (nDim <= 0) return;
    double* work = static_cast<double*>(work_alloc(static_cast<std::size_t>(nDim) * sizeof(double)));
    if (work == nullptr) {
        report_no_memory("SortVI", static_cast<std::size_t>(nDim) * sizeof(double));
        return;
    }
    for (int i = 0; i < nDim; ++i) {
        work[i] = V[i];
        XI[i] = i;
    }
    shell_sort(work, nDim, XI);
    work_free(work);
}

// A step below 1 would never leave the range: it is treated as a range of
// the first element alone.
double max_v(double* V, int iStart, int iStop, int step) {
    double best = V[iStart];
    if (step < 1) return best;
    for (idx i = static_cast<idx>(iStart) + step; i <= iStop; i += step)
        if (V[i] > best) best = V[i];
    return best;
}

int id_max_v(double* V, int iStart, int iStop, int step) {
    double best = V[iStart];
    idx bestIndex = iStart;
    if (step < 1) return iStart;
    for (idx i = static_cast<idx>(iStart) + step; i <= iStop; i += step)
        if (V[i] > best) {
            best = V[i];
            bestIndex = i;
        }
    return static_cast<int>(bestIndex);
}

} // namespace linalg
