// Host routines of the GPU variants and the two GPU solvers. This file also
// holds the kernel module: it is the one translation unit that includes the
// kernel definitions.
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <tuple>

#include "base/message.h"
#include "base/work_memory.h"
#include "cuda/cuda_backend.h"
#include "cuda/kernels.cuh"
#include "cuda/launch.h"
#include "cuda/protocol.h"

namespace linalg {

namespace {

// The device buffers of one operation (at most four), allocated one after
// another and released in allocation order. A fixed table: nothing here
// allocates host memory, so nothing can throw. Not released by the
// destructor: after a failed checkpoint the element-wise routines leave them
// to the next reset.
class DeviceBuffers {
public:
    template <typename T>
    T* alloc(std::size_t bytes) {
        void* p = nullptr;
        cudaMalloc(&p, bytes);
        list_[count_++] = {p, bytes};
        return static_cast<T*>(p);
    }
    void zero_all() {
        for (std::size_t i = 0; i < count_; ++i) cudaMemset(list_[i].ptr, 0, list_[i].bytes);
    }
    void free_all() {
        for (std::size_t i = 0; i < count_; ++i)
            if (list_[i].ptr) cudaFree(list_[i].ptr);
        count_ = 0;
    }
    // Releases one buffer early (the solvers drop the copy of A).
    void free_one(void* p) {
        for (std::size_t i = 0; i < count_; ++i)
            if (list_[i].ptr == p) {
                cudaFree(p);
                for (std::size_t j = i + 1; j < count_; ++j) list_[j - 1] = list_[j];
                --count_;
                return;
            }
    }

private:
    struct Entry {
        void* ptr;
        std::size_t bytes;
    };
    Entry list_[4] = {};
    std::size_t count_ = 0;
};

void upload(void* dev, const void* host, std::size_t bytes) { cudaMemcpy(dev, host, bytes, cudaMemcpyHostToDevice); }
void download(void* host, const void* dev, std::size_t bytes) { cudaMemcpy(host, dev, bytes, cudaMemcpyDeviceToHost); }

// One input of an operation: the device buffer it goes to (index in
// allocation order) and the host array it comes from; the copy has the
// buffer's size.
struct Upload {
    std::size_t buffer;
    const double* host;
};

// Host side of one element-wise or product operation: reset; one buffer per
// entry of `bytes`, allocated in that order; checkpoint 1; zero-fill;
// `uploads` in their order; checkpoint 2; `launch` called with the device
// pointers in allocation order; download of buffer `result` into X unless a
// launch failed (a refused launch leaves the device buffer as uploaded, so
// copying it would overwrite X); checkpoint 3; release; reset. After a
// failed checkpoint 1 or 2 it returns at once, X untouched and the buffers
// left to the next reset.
template <std::size_t N, typename Launch>
void run_operation(const std::size_t (&bytes)[N], std::initializer_list<Upload> uploads, std::size_t result, double* X,
                   Launch launch) {
    DeviceBuffers buf;
    std::array<double*, N> dev{};
    cudaDeviceReset();
    for (std::size_t i = 0; i < N; ++i) dev[i] = buf.alloc<double>(bytes[i]);
    if (!gpu_checkpoint(kMallocError)) return;
    buf.zero_all();
    for (const Upload& u : uploads) upload(dev[u.buffer], u.host, bytes[u.buffer]);
    if (!gpu_checkpoint(kUploadError)) return;
    std::apply(launch, dev);
    if (cudaPeekAtLastError() == cudaSuccess) download(X, dev[result], bytes[result]);
    gpu_checkpoint(kDownloadError);
    buf.free_all();
    cudaDeviceReset();
}

} // namespace

// ---- element-wise operations -------------------------------------------------
//
// Buffers are listed in allocation order; the lambda names them in that order.

void vectorscalarMultiplication(double* V, int nDim, double S, double* X) {
    if (nDim <= 0) return;
    run_operation({gpu_bytes(nDim, 1, sizeof(double))}, {{0, V}}, 0, X, [&](double* v) {
        LINALG_LAUNCH(vectorscalarMultiplicationKernel, shape_1d(nDim), v, nDim, S);
    });
}

void vectorvectorAddition(double* V1, double* V2, int nDim, double* X) {
    if (nDim <= 0) return;
    const std::size_t bytes = gpu_bytes(nDim, 1, sizeof(double));
    run_operation({bytes, bytes}, {{0, V1}, {1, V2}}, 1, X, [&](double* a, double* b) {
        LINALG_LAUNCH(vectorvectorAdditionKernel, shape_1d(nDim), a, b, nDim);
    });
}

void vectorvectorSubstraction(double* V1, double* V2, int nDim, double* X) {
    if (nDim <= 0) return;
    // V1 goes to b (uploaded first) and V2 to a, so b - a = V1 - V2.
    const std::size_t bytes = gpu_bytes(nDim, 1, sizeof(double));
    run_operation({bytes, bytes}, {{1, V1}, {0, V2}}, 1, X, [&](double* a, double* b) {
        LINALG_LAUNCH(vectorvectorSubstractionKernel, shape_1d(nDim), a, b, nDim);
    });
}

void vectorvectorMultiplication(double* V1, int nRows, double* V2, int nCols, double* X) {
    if (nRows <= 0 || nCols <= 0) return;
    const std::size_t bytes[] = {gpu_bytes(nRows, 1, sizeof(double)), gpu_bytes(nCols, 1, sizeof(double)),
                                 gpu_bytes(nRows, nCols, sizeof(double))};
    run_operation(bytes, {{0, V1}, {1, V2}}, 2, X, [&](double* u, double* w, double* x) {
        LINALG_LAUNCH(vectorvectorMultiplicationKernel, shape_2d(nRows, nCols), u, nRows, w, nCols, x);
    });
}

void matrixscalarMultiplication(double* M, int nRows, int nCols, double S, double* X) {
    if (nRows <= 0 || nCols <= 0) return;
    run_operation({gpu_bytes(nRows, nCols, sizeof(double))}, {{0, M}}, 0, X, [&](double* m) {
        LINALG_LAUNCH(matrixscalarMultiplicationKernel, shape_2d(nRows, nCols), m, nRows, nCols, S);
    });
}

void matrixmatrixAddition(double* M1, double* M2, int nRows, int nCols, double* X) {
    if (nRows <= 0 || nCols <= 0) return;
    const std::size_t bytes = gpu_bytes(nRows, nCols, sizeof(double));
    run_operation({bytes, bytes}, {{0, M1}, {1, M2}}, 1, X, [&](double* a, double* b) {
        LINALG_LAUNCH(matrixmatrixAdditionKernel, shape_2d(nRows, nCols), a, b, nRows, nCols);
    });
}

void matrixmatrixSubstraction(double* M1, double* M2, int nRows, int nCols, double* X) {
    if (nRows <= 0 || nCols <= 0) return;
    // M1 goes to b (uploaded first) and M2 to a, so b - a = M1 - M2.
    const std::size_t bytes = gpu_bytes(nRows, nCols, sizeof(double));
    run_operation({bytes, bytes}, {{1, M1}, {0, M2}}, 1, X, [&](double* a, double* b) {
        LINALG_LAUNCH(matrixmatrixSubstractionKernel, shape_2d(nRows, nCols), a, b, nRows, nCols);
    });
}

// ---- products ------------------------------------------------------------------

void matrixvectorMultiplication(double* M, int nRowsM, double* V, int nRowsV, double* X) {
    if (nRowsM <= 0) return;
    const std::size_t bytes[] = {gpu_bytes(nRowsM, nRowsV, sizeof(double)), gpu_bytes(nRowsV, 1, sizeof(double)),
                                 gpu_bytes(nRowsM, 1, sizeof(double))};
    run_operation(bytes, {{0, M}, {1, V}}, 2, X, [&](double* m, double* v, double* x) {
        LINALG_LAUNCH(matrixvectorMultiplicationKernel, shape_1d(nRowsM), m, nRowsM, v, nRowsV, x);
    });
}

void vectormatrixMultiplication(double* V, int nColsV, double* M, int nColsM, double* X) {
    if (nColsM <= 0) return;
    const std::size_t bytes[] = {gpu_bytes(nColsV, nColsM, sizeof(double)), gpu_bytes(nColsV, 1, sizeof(double)),
                                 gpu_bytes(nColsM, 1, sizeof(double))};
    run_operation(bytes, {{0, M}, {1, V}}, 2, X, [&](double* m, double* v, double* x) {
        LINALG_LAUNCH(vectormatrixMultiplicationKernel, shape_1d(nColsM), v, nColsV, m, nColsM, x);
    });
}

void matrixMultiplication(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) {
    if (nRows1 <= 0 || nCols2 <= 0) return;
    const std::size_t bytes[] = {gpu_bytes(nRows1, nCols, sizeof(double)), gpu_bytes(nCols, nCols2, sizeof(double)),
                                 gpu_bytes(nRows1, nCols2, sizeof(double))};
    run_operation(bytes, {{0, M1}, {1, M2}}, 2, X, [&](double* m1, double* m2, double* x) {
        LINALG_LAUNCH(matrixMultiplicationKernel, shape_2d(nRows1, nCols2), m1, nRows1, nCols, m2, nCols2, x);
    });
}

// ---- solvers ---------------------------------------------------------------------

namespace {

enum class Elimination { gauss_jordan, below_pivot };

// Device part shared by both solvers: reset, banks, buffers W, V, P, Q,
// checkpoints 1 and 2, assembly of [A | B], row scaling, pivot indices,
// diagonal, then per column the pivot search, the exchange with
// normalisation and the elimination (all other rows, or the rows below).
// P holds n + 1 ints: the pivot rows and the singularity flag that the pivot
// search sets. Returns false when checkpoint 1 or 2 failed (message printed,
// nothing launched). On success W, V, P stay allocated in `buf` for the
// caller.
bool forward_phase(double* A, double* B, int n, Elimination kind, DeviceBuffers& buf, double*& W, double*& V,
                   int*& P) {
    const int nC = n + 1;
    const double lnBase = std::log(2.0);
    const std::size_t wBytes = gpu_bytes(n, nC, sizeof(double));
    const std::size_t vBytes = gpu_bytes(n, 1, sizeof(double));
    const std::size_t pBytes = gpu_bytes(nC, 1, sizeof(int));
    const std::size_t qBytes = gpu_bytes(n, n, sizeof(double));

    cudaDeviceReset();
    cudaDeviceSetSharedMemConfig(cudaSharedMemBankSizeEightByte);
    W = buf.alloc<double>(wBytes);
    V = buf.alloc<double>(vBytes);
    P = buf.alloc<int>(pBytes);
    double* Q = buf.alloc<double>(qBytes);
    if (!gpu_checkpoint(kMallocError)) return false;
    buf.zero_all();
    upload(Q, A, qBytes);
    upload(V, B, vBytes);
    if (!gpu_checkpoint(kUploadError)) return false;

    const LaunchShape rows{dim3(ceil_div(nC, 256)), dim3(256)};
    LINALG_LAUNCH(JOINABd_CU, rows, Q, V, W, n, nC);
    buf.free_one(Q);
    LINALG_LAUNCH(SCALEd_CU, rows, W, n, nC, lnBase);
    LINALG_LAUNCH(VIDX_CU, rows, P, n);
    LINALG_LAUNCH(EXTRDIAGd_CU, rows, W, V, n, nC, 0);

    const long long row_blocks = ceil_div(n, 16);
    for (int i = 0; i < n; ++i) {
        const int m = n - i;
        const int T = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(m))));
        LINALG_LAUNCH(MAXd_CU, (LaunchShape{dim3(1), dim3(static_cast<unsigned>(T))}), W, V, P, n, i, i, T);
        LINALG_LAUNCH(SWAPd_CU, (LaunchShape{dim3(ceil_div(m + 1LL, 256)), dim3(256)}), V, P, W, nC, i);
        const LaunchShape update{grid_2d(ceil_div(m, 16), row_blocks), dim3(16, 16)};
        if (kind == Elimination::gauss_jordan)
            LINALG_LAUNCH(SUBROWSd_CU, update, W, n, nC, i, i + 1);
        else
            LINALG_LAUNCH(SUBSUBROWSd_CU, update, W, n, nC, i, i + 1);
    }
    return true;
}

// After the elimination and the wait for the device: true when the solution
// may be downloaded. False after a failed launch or wait (the error stays
// for checkpoint 3) and for a singular system, whose flag is read here in
// one copy and reported with the CPU solvers' message.
bool solution_ready(const int* P, int n) {
    if (cudaPeekAtLastError() != cudaSuccess) return false;
    int singular = 0;
    download(&singular, P + n, sizeof(int));
    if (cudaPeekAtLastError() != cudaSuccess) return false;
    if (singular == 0) return true;
    report(Error::Singular, Out::out_flushed, "ERROR! Singular system!");
    return false;
}

} // namespace

void SolveGJcuda(double* A, double* B, double* X, const int nDim) {
    if (nDim <= 0) return;
    const int n = nDim;
    DeviceBuffers buf;
    double* W = nullptr;
    double* V = nullptr;
    int* P = nullptr;
    if (forward_phase(A, B, n, Elimination::gauss_jordan, buf, W, V, P)) {
        LINALG_LAUNCH(EXTRCOLd_CU, (LaunchShape{dim3(ceil_div(n + 1LL, 256)), dim3(256)}), W, V, n, n + 1, n, 0);
        cudaDeviceSynchronize();
        if (solution_ready(P, n)) download(X, V, gpu_bytes(n, 1, sizeof(double)));
        gpu_checkpoint(kDownloadError);
    }
    buf.free_all();
    cudaDeviceReset();
}

void SolveGcudacpu(double* A, double* B, double* X, const int nDim) {
    if (nDim <= 0) return;
    const int n = nDim;
    const long long nC = static_cast<long long>(n) + 1;
    DeviceBuffers buf;
    double* W = nullptr;
    double* V = nullptr;
    int* P = nullptr;
    if (forward_phase(A, B, n, Elimination::below_pivot, buf, W, V, P)) {
        cudaDeviceSynchronize();
        const std::size_t wBytes = gpu_bytes(n, nC, sizeof(double));
        double* H = nullptr;
        if (!solution_ready(P, n)) {
            gpu_checkpoint(kDownloadError);
        } else if (!(H = static_cast<double*>(work_alloc(wBytes)))) {
            report_no_memory("SolveLSE3", wBytes);
        } else {
            download(H, W, wBytes);
            if (gpu_checkpoint(kDownloadError)) {
                // Unit upper triangular system: no division needed.
                for (int i = n - 1; i >= 0; --i) {
                    const double* row = H + i * nC;
                    double v = row[n];
                    for (int j = i + 1; j < n; ++j) v = v - row[j] * X[j];
                    X[i] = v * row[i];
                }
            }
            work_free(H);
        }
    }
    buf.free_all();
    cudaDeviceReset();
}

} // namespace linalg
