// Work layout, descending sort and fatal exit shared by the eigen-solvers.
#include "eigen/eigen.h"

#include "base/fixed_nan.h"
#include "base/message.h"
#include "base/work_memory.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace linalg {

namespace {
// Element 0 of an array in `block` (requested 64 bytes larger, with `before`
// bytes kept in front) placed so that element 1 lies on a 64-byte boundary.
double* element_one_aligned(void* block, std::size_t before) {
    return align64(static_cast<char*>(block) + before + sizeof(double)) - 1;
}
} // namespace

double** alloc_work_matrix(int n, const char* who) {
    const long long order = static_cast<long long>(n) + 1;
    // All rows in one block at a padded stride, each with its element 1 on a
    // 64-byte boundary: the row kernels work on columns 1..n, so their
    // vectors never straddle two cache lines.
    const long long ld = padded_stride(order);
    // The whole matrix must be addressable before anything is requested, so
    // a huge order fails at once.
    const std::size_t rows_bytes = work_bytes(order + 1, 1, sizeof(double*));
    const std::size_t data_bytes = work_bytes(order, ld, sizeof(double));
    if (n < 1) return nullptr;
    if (rows_bytes == 0 || data_bytes == 0 || data_bytes > SIZE_MAX - 64) {
        report_no_memory(who, SIZE_MAX);  // more than the address space holds
        return nullptr;
    }
    double** a = static_cast<double**>(work_alloc(rows_bytes));
    if (a == nullptr) {
        report_no_memory(who, rows_bytes);
        return nullptr;
    }
    void* const block = work_alloc(data_bytes + 64);
    if (block == nullptr) {
        work_free(a);
        report_no_memory(who, data_bytes + 64);
        return nullptr;
    }
    double* const base = element_one_aligned(block, 0);
    for (long long i = 0; i < order; ++i) a[i] = base + i * ld;
    a[order] = static_cast<double*>(block);  // for free_work_matrix
    return a;
}

void free_work_matrix(double** a, int n) {
    if (a == nullptr) return;
    work_free(a[static_cast<long long>(n) + 1]);
    work_free(a);
}

// Element 1 of a work vector is 64-byte aligned, like the rows; the double
// before element 0 keeps the address of the block for free_work_vector.
constexpr std::size_t kVectorSlack = 2 * sizeof(double) + 64;

double* alloc_work_vector(int n, const char* who) {
    const std::size_t bytes = work_bytes(static_cast<long long>(n) + 1, 1, sizeof(double));
    if (n < 1) return nullptr;
    if (bytes == 0 || bytes > SIZE_MAX - kVectorSlack) {
        report_no_memory(who, SIZE_MAX);
        return nullptr;
    }
    void* const block = work_alloc(bytes + kVectorSlack);
    if (block == nullptr) {
        report_no_memory(who, bytes + kVectorSlack);
        return nullptr;
    }
    double* const v = element_one_aligned(block, sizeof(double));
    std::memcpy(v - 1, &block, sizeof block);
    return v;
}

void free_work_vector(double* v) {
    if (v == nullptr) return;
    void* block;
    std::memcpy(&block, v - 1, sizeof block);
    work_free(block);
}

void copy_to_work(const double* M, int n, double** a) {
    for (int i = 0; i < n; ++i) {
        const double* row = M + static_cast<std::ptrdiff_t>(i) * n;
        double* w = a[i + 1];
        for (int j = 0; j < n; ++j) w[j + 1] = row[j];
    }
}

void copy_from_work(double** a, int n, double* X) {
    for (int i = 0; i < n; ++i) {
        double* row = X + static_cast<std::ptrdiff_t>(i) * n;
        const double* w = a[i + 1];
        for (int j = 0; j < n; ++j) row[j] = w[j + 1];
    }
}

void transpose_work(double** a, int n) {
    for (int i = 2; i <= n; ++i) {
        double* const ai = a[i];
        for (int j = 1; j < i; ++j) {
            const double tmp = ai[j];
            ai[j] = a[j][i];
            a[j][i] = tmp;
        }
    }
}

void store_eigensystem(const double* d, double** v, int n, double* eV, double* eM) {
    for (int i = 0; i < n; ++i) {
        eV[i] = d[i + 1];
        double* const row = eM + static_cast<std::ptrdiff_t>(i) * n;
        for (int j = 0; j < n; ++j) row[j] = v[j + 1][i + 1];
    }
}

int range_exponent(double** a, int n, Triangle part, bool* finite) {
    if (finite) *finite = true;
    double big = 0.0;
    for (int i = 1; i <= n; ++i) {
        const int first = part == Triangle::Upper ? i : 1;
        const int last = part == Triangle::Lower ? i : n;
        const double* const ai = a[i];
        for (int j = first; j <= last; ++j) {
            const double x = std::fabs(ai[j]);
            if (!(x <= DBL_MAX)) {  // NaN or infinity
                if (finite) *finite = false;
                return 0;
            }
            if (x > big) big = x;
        }
    }
    if (big == 0.0 || (big >= 0x1p-500 && big <= 0x1p+500)) return 0;
    return -std::ilogb(big);
}

void scale_work(double** a, int n, int k) {
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) a[i][j] = std::ldexp(a[i][j], k);
}

void scale_vector(double* v, int n, int k) {
    for (int i = 1; i <= n; ++i) v[i] = std::ldexp(v[i], k);
}

namespace {
// Selection step of the descending sort: the index of the largest of
// d[i..n], a later equal value replacing the current choice (>=).
int pick_largest(const double* d, int i, int n) {
    int k = i;
    double p = d[i];
    for (int j = i + 1; j <= n; ++j) {
        if (d[j] >= p) {
            k = j;
            p = d[j];
        }
    }
    return k;
}
} // namespace

void eigsrt_rows(double* d, double** v, int n) {
    for (int i = 1; i < n; ++i) {
        const int k = pick_largest(d, i, n);
        if (k == i) continue;
        std::swap(d[i], d[k]);
        std::swap(v[i], v[k]);
    }
}

void eigsrt(double* d, double** v, int n) {
    for (int i = 1; i < n; ++i) {
        const int k = pick_largest(d, i, n);
        if (k == i) continue;
        std::swap(d[i], d[k]);
        for (int r = 1; r <= n; ++r) std::swap(v[r][i], v[r][k]);
    }
}

void fatal_numeric_error(const char* reason) {
    if (fatal_exit_enabled()) {
        emit(Out::out, "NR run-time error...\n%s\n...now exiting to system...\n", reason);
        std::exit(1);
    }
    if (last_status() == Error::None) set_status(Error::NotConverged);
    emit(Out::out, "NR run-time error...\n%s\n", reason);
}

bool eigen_failed(bool converged, bool finite) {
    return !fatal_exit_enabled() && (!converged || !finite);
}

void fill_nan(double* X, long long count) {
    for (long long i = 0; i < count; ++i) X[i] = kFixedNaN;
}

} // namespace linalg
