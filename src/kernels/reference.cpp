// The reference table: the plain loops that define every kernel. It is the
// table each instruction set starts from, and the one the tests compare
// every other table against. Built with the library's baseline flags.
#include "kernels/isa_tables.h"
#include "kernels/panels.h"
#include "kernels/plain_loops.h"

namespace linalg {

namespace {
namespace plain {

// Products and elimination updates: each output from 0.0 (or its stored
// value), terms in ascending summation index.
void mm_rows(const double* A, idx k, const double* B, idx m, double* X, idx r0, idx r1) {
    for (idx i = r0; i < r1; ++i) {
        const double* a = A + i * k;
        double* x = X + i * m;
        for (idx j = 0; j < m; ++j) {
            double s = 0.0;
            for (idx p = 0; p < k; ++p) s += a[p] * B[p * m + j];
            x[j] = s;
        }
    }
}

void mv_rows(const double* M, const double* V, idx cols, double* X, idx r0, idx r1) {
    for (idx i = r0; i < r1; ++i) {
        const double* m = M + i * cols;
        double s = 0.0;
        for (idx j = 0; j < cols; ++j) s += m[j] * V[j];
        X[i] = s;
    }
}

void vm_cols(const double* V, idx rows, const double* M, idx cols, double* X, idx c0, idx c1) {
    for (idx j = c0; j < c1; ++j) {
        double s = 0.0;
        for (idx i = 0; i < rows; ++i) s += V[i] * M[i * cols + j];
        X[j] = s;
    }
}

void cross_rows(const double* V1, const double* V2, idx cols, double* X, idx r0, idx r1) {
    for (idx i = r0; i < r1; ++i) {
        double* x = X + i * cols;
        const double a = V1[i];
        for (idx j = 0; j < cols; ++j) x[j] = a * V2[j];
    }
}

void transpose_rows(const double* M, idx rows, idx cols, double* X, idx r0, idx r1) {
    for (idx i = r0; i < r1; ++i)
        for (idx j = 0; j < cols; ++j) X[j * rows + i] = M[i * cols + j];
}

void transpose_block(const double* M, idx ldm, double* X, idx ldx, idx rows, idx cols) {
    for (idx r = 0; r < rows; ++r)
        for (idx c = 0; c < cols; ++c) X[c * ldx + r] = M[r * ldm + c];
}

void rm_update(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U, idx ups, idx kb) {
    for (idx r = 0; r < m; ++r)
        for (idx j = 0; j < nc; ++j) {
            const double* u = U + (j / kPanelCols) * ups + j % kPanelCols;
            double c = C[r * ldc + j];
            for (idx k = 0; k < kb; ++k) c = c - u[k * kPanelCols] * G[k * ldg + r];
            C[r * ldc + j] = c;
        }
}

void cm_update(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U, idx ldu, idx kb) {
    for (idx j = 0; j < nc; ++j)
        for (idx r = 0; r < m; ++r) {
            double c = C[j * ldc + r];
            for (idx k = 0; k < kb; ++k) c = c - U[j * ldu + k] * G[k * ldg + r];
            C[j * ldc + r] = c;
        }
}

// The definition of the chain: one whole rotation after the other, each
// followed by one tick.
void rotate_ql_chain(double* const* rows, idx n, const double* c, const double* s, idx count, void (*tick)(void*),
                     void* ctx) {
    for (idx j = count - 1; j >= 0; --j) {
        rotate_ql(rows[j], rows[j + 1], n, c[j], s[j]);
        if (tick != nullptr) tick(ctx);
    }
}

// The definition of the pair: at each step a whole rotation of the first
// chain, then the rotation of the second one row above, each followed by
// one tick.
void rotate_ql_pair(double* const* rows, idx n, const double* ca, const double* sa, const double* cb,
                    const double* sb, idx count, void (*tick)(void*), void* ctx) {
    for (idx j = count - 1; j >= 0; --j) {
        rotate_ql(rows[j], rows[j + 1], n, ca[j], sa[j]);
        if (tick != nullptr) tick(ctx);
        rotate_ql(rows[j + 1], rows[j + 2], n, cb[j], sb[j]);
        if (tick != nullptr) tick(ctx);
    }
}

// The definition of the row sum: one whole row after the other.
void add_scaled_rows(double* y, const double* const* x, idx off, const double* a, idx count, idx n) {
    for (idx j = 0; j < count; ++j) add_scaled(y, x[j] + off, n, a[j]);
}

// The definition of the elimination step on rows: one whole row after the
// other.
void sub_scaled_rows(double* Y, idx ldy, const double* x, idx n, const double* g, idx ldg, idx rows) {
    for (idx r = 0; r < rows; ++r) sub_scaled(Y + r * ldy, x, n, g[r * ldg]);
}

// The table's product and update entries: no blocking to read.
void mm_rows_entry(const kernel_blocking&, const double* A, idx k, const double* B, idx m, double* X, idx r0, idx r1) {
    mm_rows(A, k, B, m, X, r0, r1);
}
void rm_update_entry(const kernel_blocking&, double* C, idx ldc, idx m, idx nc, const double* G, idx ldg,
                     const double* U, idx ups, idx kb) {
    rm_update(C, ldc, m, nc, G, ldg, U, ups, kb);
}

} // namespace plain
} // namespace

kernel_table make_reference_table() {
    kernel_table t{};
    t.level = kBaselineIsa;
    t.name = "reference";
    // One output at a time, no slicing; the row unit is that of the other
    // tables, and every product is direct.
    t.blocking = kernel_blocking{1, 1, 0, 0, 0, 1, 1, 1, 1, 12, PTRDIFF_MAX, kLuPanels, kGjPanels};
    t.mm_rows_fn = plain::mm_rows_entry;
    t.mm_direct = plain::mm_rows;
    t.mv_rows = plain::mv_rows;
    t.vm_cols = plain::vm_cols;
    t.cross_rows = plain::cross_rows;
    t.transpose_rows = plain::transpose_rows;
    t.transpose_block = plain::transpose_block;
    t.rm_update_fn = plain::rm_update_entry;
    t.cm_update = plain::cm_update;
    t.lu_panel = panel::lu<plain::cm_update, panel::first_largest>;
    t.gj_panel = panel::gj<panel::first_largest>;
    plain::set_vectorised_loops(t);
    t.rotate_ql_chain = plain::rotate_ql_chain;
    t.rotate_ql_pair = plain::rotate_ql_pair;
    t.add_scaled_rows = plain::add_scaled_rows;
    t.sub_scaled_rows = plain::sub_scaled_rows;
    return t;
}

} // namespace linalg
