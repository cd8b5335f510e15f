// Definitions of the 19 kernels declared in kernels.h. Included by exactly
// one translation unit (gpu_routines.cpp), which therefore holds the whole
// kernel module.
#ifndef LINALG_CUDA_KERNELS_CUH
#define LINALG_CUDA_KERNELS_CUH

#include "cuda/kernels.h"

// Global thread indices in 64-bit arithmetic, so a grid close to 2^31
// threads cannot wrap to a negative index. The row index also counts
// grid.z: launches with more row blocks than grid.y may hold (65,535) spread
// them over grid.y x grid.z (see grid_2d in protocol.h).
#define LINALG_GX (static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x)
#define LINALG_GY \
    ((static_cast<long long>(blockIdx.z) * gridDim.y + blockIdx.y) * blockDim.y + threadIdx.y)

__global__ void vectorscalarMultiplicationKernel(double* v, int n, double s) {
    const long long g = LINALG_GX;
    if (g < n) v[g] = v[g] * s;
}

__global__ void vectorvectorAdditionKernel(double* a, double* b, int n) {
    const long long g = LINALG_GX;
    if (g < n) b[g] = a[g] + b[g];
}

__global__ void vectorvectorSubstractionKernel(double* a, double* b, int n) {
    const long long g = LINALG_GX;
    if (g < n) b[g] = b[g] - a[g];
}

__global__ void vectorvectorMultiplicationKernel(double* u, int nRows, double* w, int nCols, double* x) {
    const long long c = LINALG_GX;
    const long long r = LINALG_GY;
    if (r < nRows && c < nCols) x[r * nCols + c] = u[r] * w[c];
}

__global__ void matrixvectorMultiplicationKernel(double* m, int nRowsM, double* v, int nRowsV, double* x) {
    const long long g = LINALG_GX;
    if (g >= nRowsM) return;
    const double* row = m + g * nRowsV;
    double sum = 0.0;
    for (int k = 0; k < nRowsV; ++k) sum = fma(row[k], v[k], sum);
    x[g] = sum;
}

__global__ void vectormatrixMultiplicationKernel(double* v, int nColsV, double* m, int nColsM, double* x) {
    const long long g = LINALG_GX;
    if (g >= nColsM) return;
    double sum = 0.0;
    for (int k = 0; k < nColsV; ++k) sum = fma(v[k], m[static_cast<long long>(k) * nColsM + g], sum);
    x[g] = sum;
}

__global__ void matrixscalarMultiplicationKernel(double* m, int nRows, int nCols, double s) {
    const long long c = LINALG_GX;
    const long long r = LINALG_GY;
    if (r < nRows && c < nCols) m[r * nCols + c] = m[r * nCols + c] * s;
}

__global__ void matrixmatrixAdditionKernel(double* a, double* b, int nRows, int nCols) {
    const long long c = LINALG_GX;
    const long long r = LINALG_GY;
    if (r < nRows && c < nCols) b[r * nCols + c] = a[r * nCols + c] + b[r * nCols + c];
}

__global__ void matrixmatrixSubstractionKernel(double* a, double* b, int nRows, int nCols) {
    const long long c = LINALG_GX;
    const long long r = LINALG_GY;
    if (r < nRows && c < nCols) b[r * nCols + c] = b[r * nCols + c] - a[r * nCols + c];
}

__global__ void matrixMultiplicationKernel(double* m1, int nRows1, int nCols, double* m2, int nCols2, double* x) {
    const long long c = LINALG_GX;
    const long long r = LINALG_GY;
    if (r >= nRows1 || c >= nCols2) return;
    const double* row = m1 + r * nCols;
    double sum = 0.0;
    for (int k = 0; k < nCols; ++k) sum = fma(row[k], m2[static_cast<long long>(k) * nCols2 + c], sum);
    x[r * nCols2 + c] = sum;
}

__global__ void JOINABd_CU(double* a, double* b, double* w, int n, int nC) {
    const long long g = LINALG_GX;
    if (g >= n) return;
    double* dst = w + g * nC;
    const double* src = a + g * n;
    for (int k = 0; k < n; ++k) dst[k] = src[k];
    dst[n] = b[g];
}

__global__ void SCALEd_CU(double* w, int n, int nC, double lnBase) {
    const long long g = LINALG_GX;
    if (g >= n) return;
    double* row = w + g * nC;
    double s = 0.0;
    for (int k = 0; k < n; ++k) s = s + fabs(row[k]);
    if (!(s > 1e-10)) return;  // tiny, zero or NaN sum: row left as it is
    const double t = log(s) / lnBase + 1.0;
    if (s >= 0.5 && s <= 1.0) return;
    double k;
    if (t >= 0.0) {
        k = floor(t);
    } else {
        const double c = ceil(t);
        k = (c - t < 1e-10) ? c : ceil(t - 1.0);
    }
    const double f = exp(-k * lnBase);
    for (int j = 0; j < nC; ++j) row[j] = row[j] * f;
}

__global__ void VIDX_CU(int* p, int n) {
    const long long g = LINALG_GX;
    if (g < n) p[g] = static_cast<int>(g);
}

__global__ void EXTRDIAGd_CU(double* w, double* v, int n, int nC, int off) {
    const long long k = LINALG_GX + off;
    if (k < n) v[k] = w[k * nC + k];
}

__global__ void EXTRCOLd_CU(double* w, double* v, int n, int nC, int col, int off) {
    const long long k = LINALG_GX + off;
    if (k < n) v[k] = w[k * nC + col];
}

// The factor by which the CPU solvers' row scaling multiplies a row whose
// absolute sum s lies in (0, 1e-10], a row SCALEd_CU leaves as it is: with
// t = log2(s) + 1 < 0, 2^-e for e = t when t is whole, else ceil(t - 1).
// 1 for every other row (scaled already, zero, or NaN).
__device__ inline double unscaled_row_factor(const double* row, int n) {
    double s = 0.0;
    for (int k = 0; k < n; ++k) s = s + fabs(row[k]);
    if (!(s > 0.0) || s > 1e-10) return 1.0;
    const double ln2 = log(2.0);
    const double t = log(s) / ln2 + 1.0;
    const double c = ceil(t);
    const double e = (t - c == 0.0) ? c : ceil(t - 1.0);
    const double f = exp((e * -1.0) * ln2);
    return f <= 1.7976931348623157e308 ? f : ldexp(1.0, -static_cast<int>(e));  // beyond DBL_MAX: exact
}

__global__ void MAXd_CU(double* w, double* v, int* p, int n, int col, int start, int T) {
    __shared__ int slot[1024];
    const long long nC = static_cast<long long>(n) + 1;
    const int t = static_cast<int>(threadIdx.x);
    const long long r0 = start + static_cast<long long>(t) * T;
    if (t < 1024) {
        if (r0 < n) {
            const long long end = (r0 + T < n) ? r0 + T : n;
            // First column: each row's factor goes to v[row], where it
            // stays (moving with its row) until that row's pivot replaces it.
            if (col == 0)
                for (long long r = r0; r < end; ++r) v[r] = unscaled_row_factor(w + r * nC, n);
            long long best = r0;
            double best_value = w[r0 * nC + col];
            for (long long r = r0 + 1; r < end; ++r) {
                const double value = w[r * nC + col];
                if (fabs(value) > fabs(best_value)) {
                    best = r;
                    best_value = value;
                }
            }
            slot[t] = static_cast<int>(best);
        } else {
            slot[t] = n - 1;  // empty chunk
        }
    }
    __syncthreads();
    if (t != 0) return;
    int best = slot[0];
    const int slots = T < 1024 ? T : 1024;
    for (int s = 1; s < slots; ++s) {
        const int row = slot[s];
        if (fabs(w[row * nC + col]) > fabs(w[best * nC + col])) best = row;
    }
    // Singular by the CPU solvers' measure: the pivot, in its row's scale,
    // below their threshold (NaN does not count). When the largest pivot
    // falls short, the row whose pivot is largest in its own scale is taken
    // if that one passes. The flag is only ever set, so it survives to the
    // end of the elimination.
    if (fabs(w[best * nC + col]) * v[best] < kSingularPivot) {
        int alt = best;
        for (int r = start; r < n; ++r)
            if (fabs(w[r * nC + col]) * v[r] > fabs(w[alt * nC + col]) * v[alt]) alt = r;
        if (fabs(w[alt * nC + col]) * v[alt] < kSingularPivot)
            p[n] = 1;
        else
            best = alt;
    }
    if (best != start) v[best] = v[start];
    p[col] = best;
    v[col] = w[best * nC + col];
}

__global__ void SWAPd_CU(double* v, int* p, double* w, int nC, int i) {
    const long long k = LINALG_GX + i;
    if (k >= nC) return;
    const long long q = p[i];
    const double pivot = v[i];
    double* row_i = w + static_cast<long long>(i) * nC;
    if (q == i) {
        row_i[k] = row_i[k] / pivot;
    } else {
        double* row_q = w + q * nC;
        const double t = row_i[k];
        row_i[k] = row_q[k] / pivot;
        row_q[k] = t;
    }
}

__global__ void SUBROWSd_CU(double* w, int n, int nC, int i, int off) {
    const long long c = LINALG_GX + off;
    const long long r = LINALG_GY;
    if (c < nC && r < n && r != i) {
        double* row_r = w + r * nC;
        row_r[c] = fma(-row_r[i], w[static_cast<long long>(i) * nC + c], row_r[c]);
    }
}

__global__ void SUBSUBROWSd_CU(double* w, int n, int nC, int i, int off) {
    const long long c = LINALG_GX + off;
    const long long gy = LINALG_GY;
    const long long r = i + gy;
    if (c < nC && r < n && gy != 0) {
        double* row_r = w + r * nC;
        row_r[c] = fma(-row_r[i], w[static_cast<long long>(i) * nC + c], row_r[c]);
    }
}

#undef LINALG_GX
#undef LINALG_GY

#endif
