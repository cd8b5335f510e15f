// The CPU kernel layer: every routine whose code is chosen per instruction
// set, behind one table per set.
//
// The reference table holds the plain loops that define each kernel. The
// table of an instruction set starts as a copy of the reference and
// overrides the entries it has faster code for (sse2.cpp, avx2.cpp,
// avx512.cpp, each compiled with its own -m flags, see kernels.cmake). One
// table is chosen once, when the library is loaded: the widest set the
// processor supports, or the lower one named by the environment variable
// LINALG_ISA. Subsystems call kernels(); they never test the processor.
//
// Bits: every table gives the bits of the reference for every input. Each
// product output starts at 0.0 (or its stored value) and takes its terms one
// at a time in ascending summation index, a multiplication followed by a
// separate addition or subtraction; kernels only tile over outputs,
// vectorise across independent outputs, pack operands and cut the summation
// index into consecutive blocks taken in order. No fused multiply-add.
//
// Common rules, unless an entry says otherwise: counts and offsets are
// 64-bit; an empty range (or a count of zero or less) writes nothing; no
// kernel allocates, except that a product may take one work block for its
// packed operand and, refused, goes on without it (same bits, no message);
// outputs must not overlap inputs. The row/column range
// forms exist for the OpenMP variants: any split of the range over calls
// gives the bits of one call over the whole range.
#ifndef LINALG_KERNELS_KERNELS_H
#define LINALG_KERNELS_KERNELS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace linalg {

using idx = std::ptrdiff_t;

// The registered kernel sets, one table each. On x86-64: sse2 is the
// baseline; avx512 and avx512_256 need the same processor features and
// differ in their tiles: 512-bit vectors, or 256-bit ones (AVX-512VL's 32
// registers) for processors that execute a 512-bit operation as two 256-bit
// halves. On aarch64: neon (Advanced SIMD, which every aarch64 processor
// has) and generic, the plain loops as the compiler builds them for the
// baseline. Elsewhere only generic. A set of another architecture keeps its
// name and number but is never supported (isa_supported is false, its table
// is the reference's).
enum class isa : int { sse2 = 0, avx2 = 1, avx512 = 2, avx512_256 = 3, generic = 4, neon = 5 };
constexpr int kIsaCount = 6;

// The sets of the architecture the library is built for, lowest first, and
// its baseline (the level the reference table reports).
#if defined(__x86_64__) || defined(__i386__)
constexpr isa kNativeIsas[] = {isa::sse2, isa::avx2, isa::avx512, isa::avx512_256};
#elif defined(__aarch64__)
constexpr isa kNativeIsas[] = {isa::generic, isa::neon};
#else
constexpr isa kNativeIsas[] = {isa::generic};
#endif
constexpr isa kBaselineIsa = kNativeIsas[0];

// Width of one packed column panel of pivot rows (see rm_update): the
// layout of rm_update's operand U, the same for every table.
constexpr idx kPanelCols = 16;

// Panel widths of a blocked elimination by order n: the plain loop below
// from[0]; from order from[i] on (ascending), panels width[i] wide. A wide
// panel's own steps run one column at a time over all rows, so smaller
// orders take narrower panels.
struct panel_rule {
    idx from[3];
    idx width[3];
};
inline idx panel_width(const panel_rule& r, idx n) {
    idx w = 0;
    for (int i = 0; i < 3; ++i)
        if (n >= r.from[i]) w = r.width[i];
    return w;
}
// The rules of most tables: the Gaussian eliminations (solve, determinant)
// and the Gauss-Jordan inverse.
constexpr panel_rule kLuPanels{{128, 256, 256}, {32, 64, 64}};
constexpr panel_rule kGjPanels{{64, 256, 256}, {16, 64, 64}};

// Block sizes and tiles of one table's kernels: the one place that says
// which tile and which blocking a set uses. The product and row-update
// drivers take them from the table they are called through, at run time
// (the entries get the table's blocking as their first argument); the
// solvers built on rm_update read them from the table in use. Any blocking
// gives the same bits: blocks only decide which outputs are computed
// together and where the summation index is cut into consecutive slices.
// The tiles (mr x nr, rm_rows x rm_cols) are code: they describe the
// entries the table holds and are written with them (a driver cuts block
// sizes larger than its buffers to fit, and rounds them to whole tiles).
struct kernel_blocking {
    idx mr, nr;   // the product's register tile: rows x columns of C
    idx kc;       // depth of a slice of the summation index (packed operands)
    idx mc;       // rows of A per packed block
    idx nc;       // widest column block of one product call (0: no limit)
    idx nb;       // columns of B per packed chunk (a multiple of nr)
    idx rm_rows;  // rm_update's register tile: rows x columns of C
    idx rm_cols;
    idx rm_block; // rows of multipliers per packed block of rm_update
    // Rows below a panel are split among threads in multiples of this many
    // (a multiple of rm_rows, so that only the last piece has a partial tile).
    idx row_unit;
    // Products with at most this many multiply-adds (rows x k x m) run the
    // direct loop over the unpacked operands: below it, packing and blocking
    // cost more than they save. The bits are the same either way.
    idx direct_products;
    // Panel widths of the eliminations (at most 256).
    panel_rule lu_panels;
    panel_rule gj_panels;
    // The QL iteration's eigenvector updates (tqli). From order ql_ahead_from
    // on, the iteration runs ahead by up to ql_sweeps sweeps (their rotations
    // kept, 2 ql_sweeps n values) and z then takes them in column strips:
    // each strip, about ql_strip_bytes of z (the rows the sweeps touch times
    // the strip's columns, a multiple of 32 columns, at least 32), takes all
    // of them in the order they were made while it stays in cache. Below
    // ql_ahead_from z takes them chunk by chunk over all its columns, with
    // the iteration's steps run inside the passes. Columns of z are
    // independent, so any strips give the same bits.
    idx ql_ahead_from = 512;
    idx ql_sweeps = 32;
    idx ql_strip_bytes = idx{256} << 10;
    // The accumulation of tred2's reflections into Q. From order acc_from
    // on, the steps go in blocks of acc_steps (their reflectors copied out,
    // 2 acc_steps n values) and Q takes each block in column strips of about
    // acc_strip_bytes (the rows the block touches times the strip's columns,
    // a multiple of 8 columns, at least 32: narrower strips pay a kernel call
    // per row and step for too little work), all the block's steps per strip
    // in order. Columns of Q are updated independently: same bits.
    idx acc_from = 1400;
    idx acc_steps = 64;
    idx acc_strip_bytes = idx{512} << 10;
    // The Jacobi eigenvectors. From order jacobi_defer_from on, a rotation
    // updates only the matrix at once; its eigenvector update is kept in a
    // group of up to jacobi_group times the order rotations (flushed when
    // full and at the end of each sweep), which the eigenvectors then take
    // in column strips of about jacobi_strip_bytes (the strip's columns of
    // every row, a multiple of 8 columns, at least 32), every rotation of
    // the group per strip in the order made. Columns are independent: the
    // same bits as the immediate updates.
    idx jacobi_defer_from = 1000;
    idx jacobi_group = 16;
    idx jacobi_strip_bytes = idx{1} << 20;
};

// What the threads of a team running mm_team share besides the packed
// slice: a barrier of the team, and one range of rows per thread, [lo, hi)
// held as lo << 32 | hi (row counts are ints), each alone on its cache line.
struct alignas(64) team_range {
    std::atomic<std::uint64_t> rows;
};
struct team_rows {
    void (*sync)();
    team_range* range;  // one per thread of the team
};

// Words of the Mersenne Twister state (see twist).
constexpr int kTwistWords = 624;

// Pivot magnitudes below this are treated as zero: the system is singular.
// On scaled rows (absolute sums in [0.5, 1)) the test is relative.
constexpr double kSingularPivot = 1e-12;

// How an elimination step treats its pivot row k and multipliers g.
enum class PivotForm {
    Reciprocal,  // SolveGcpu: W(k, k) becomes 1/pivot, g = W(r, k) * (1/pivot)
    Divided,     // SolveGomp: pivot row k (columns >= k) divided by the pivot, g = W(r, k);
                 // on the last row only the right-hand side is divided and W(k, k) = 1
    Quotient,    // DeterminantGcpu: W(k, k) stays, g = W(r, k) / pivot
};

struct kernel_table {
    isa level;
    const char* name;
    kernel_blocking blocking;

    // ---- products -----------------------------------------------------------
    // mm_rows: rows [r0, r1) of X (n x m) = A (n x k) * B (k x m), row-major,
    // leading dimensions k, m, m. k == 0 writes 0.0 to the rows.
    void mm_rows(const double* A, idx k, const double* B, idx m, double* X, idx r0, idx r1) const {
        mm_rows_fn(blocking, A, k, B, m, X, r0, r1);
    }
    void (*mm_rows_fn)(const kernel_blocking& b, const double* A, idx k, const double* B, idx m, double* X, idx r0,
                       idx r1);
    // mm_direct: the same product over the operands in place (nothing
    // packed, no work block), for products below the blocking's break-even.
    void (*mm_direct)(const double* A, idx k, const double* B, idx m, double* X, idx r0, idx r1);
    // mm_team: X (n x m) = A (n x k) * B (k x m), k >= 1, m >= 1, by a team
    // of T threads that all call it with the same arguments but their own
    // number t. The team packs B's slices once into Bs (packed_slice_bytes(
    // blocking, k, m) bytes from the caller, 64-byte aligned), each thread a
    // share, and each thread runs its static block of the rows of each slice,
    // chunk by chunk, then takes over chunks from threads still busy
    // (team->range holds the rows not yet taken). mm_team_fn is nullptr in
    // tables whose product packs nothing shareable (the reference).
    void mm_team(const double* A, idx k, const double* B, idx m, double* X, idx n, double* Bs, int t, int T,
                 team_rows* team) const {
        mm_team_fn(blocking, A, k, B, m, X, n, Bs, t, T, team);
    }
    void (*mm_team_fn)(const kernel_blocking& b, const double* A, idx k, const double* B, idx m, double* X, idx n,
                       double* Bs, int t, int T, team_rows* team);
    // mv_rows: X[i] = sum_j M[i, j] V[j] for i in [r0, r1); M row-major with
    // `cols` columns. cols == 0 writes 0.0.
    void (*mv_rows)(const double* M, const double* V, idx cols, double* X, idx r0, idx r1);
    // vm_cols: X[j] = sum_i V[i] M[i, j] for j in [c0, c1); M row-major,
    // rows x cols. rows == 0 writes 0.0.
    void (*vm_cols)(const double* V, idx rows, const double* M, idx cols, double* X, idx c0, idx c1);
    // cross_rows: rows [r0, r1) of X = V1 V2^T (X row-major, `cols` columns).
    void (*cross_rows)(const double* V1, const double* V2, idx cols, double* X, idx r0, idx r1);
    // transpose_rows: rows [r0, r1) of M (rows x cols, row-major) written as
    // columns of X (cols x rows, row-major).
    void (*transpose_rows)(const double* M, idx rows, idx cols, double* X, idx r0, idx r1);
    // Element-wise over [i0, i1): X = V*S, V1+V2, V1-V2, V1*V2. X may be one
    // of the inputs (in place); partial overlap is not allowed.
    void (*scale)(const double* V, double S, double* X, idx i0, idx i1);
    void (*add)(const double* V1, const double* V2, double* X, idx i0, idx i1);
    void (*sub)(const double* V1, const double* V2, double* X, idx i0, idx i1);
    void (*mul)(const double* V1, const double* V2, double* X, idx i0, idx i1);

    // ---- elimination updates ------------------------------------------------
    // Both apply C(r, j) = C(r, j) - U(k, j) * G(r, k) for k = 0 .. kb-1 in
    // order to an m x nc block C. G(r, k) at G[k*ldg + r] (column-major).
    // m, nc or kb of 0: nothing is touched. C must not overlap G or U.
    //
    // rm_update: C row-major, C(r, j) at C[r*ldc + j]. U packed by column
    // panels: U(k, j) at U[(j / kPanelCols)*ups + k*kPanelCols + j % kPanelCols];
    // the last panel is padded to kPanelCols columns (pads are read, never
    // stored anywhere).
    void rm_update(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U, idx ups,
                   idx kb) const {
        rm_update_fn(blocking, C, ldc, m, nc, G, ldg, U, ups, kb);
    }
    void (*rm_update_fn)(const kernel_blocking& b, double* C, idx ldc, idx m, idx nc, const double* G, idx ldg,
                         const double* U, idx ups, idx kb);
    // cm_update: C column-major, C(r, j) at C[j*ldc + r]; U(k, j) at U[j*ldu + k].
    void (*cm_update)(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U, idx ldu,
                      idx kb);

    // ---- panel factorisations ------------------------------------------------
    // Both work on a column-major panel P, entry (r, j) at P[j*ldp + r], w
    // columns (w <= the caller's piv and q capacity). A pivot step searches
    // its column from the step's row down for the largest magnitude (the
    // uppermost of equal ones), stops at one below kSingularPivot (NaN is
    // not), exchanges the two rows across all w columns, records the row in
    // piv[k] and the pivot in q[k]. Return: the local step of a singular
    // pivot, or -1.
    //
    // lu_panel: m rows, local row 0 the first pivot row; steps k = 0 .. w-1
    // in sub-panels of 8 columns (plain steps inside one, then one delayed
    // cm_update of the panel's remaining columns). Afterwards P holds the
    // finished pivot rows (columns >= their index, in `form`) and, left of
    // the diagonal, the multipliers g(r, k): the bits of the plain loop.
    idx (*lu_panel)(double* P, idx ldp, idx m, idx w, PivotForm form, idx* piv, double* q);
    // gj_panel: the Gauss-Jordan steps K0 .. K0+w-1 on the panel's own
    // columns, all n rows (step k uses row K0+k): the pivot row divided right
    // of its column, every other row updated with its multiplier, which stays
    // in place left of the step's column.
    idx (*gj_panel)(double* P, idx ldp, idx n, idx K0, idx w, idx* piv, double* q);

    // ---- eigen-solver row operations (k = 0 .. n-1, x, y, ... distinct) ----
    // rotate_ql: f = y[k]; y[k] = s*x[k] + c*f; x[k] = c*x[k] - s*f.
    void (*rotate_ql)(double* x, double* y, idx n, double c, double s);
    // rotate_ql_chain: the rotations j = count-1, count-2, ..., 0 in that
    // order, rotation j being rotate_ql(rows[j], rows[j+1], n, c[j], s[j]);
    // each element gets exactly those operations in that order. The rows
    // are distinct; count <= 0 does nothing. When tick is not null it is
    // called with ctx exactly count times, spread evenly over the pass: the
    // QL iteration computes its next rotations there, so that their scalar
    // chain of divisions and square roots runs while these rotations are
    // applied. tick must not touch the rows, c or s.
    void (*rotate_ql_chain)(double* const* rows, idx n, const double* c, const double* s, idx count,
                            void (*tick)(void*), void* ctx);
    // rotate_ql_pair: two chains, the second after the first, in one pass:
    // for j = count-1 down to 0, rotate_ql(rows[j], rows[j+1], n, ca[j],
    // sa[j]) then rotate_ql(rows[j+1], rows[j+2], n, cb[j], sb[j]). Each
    // element gets the first chain's operations, then the second's, exactly
    // as rotate_ql_chain(rows, ca, sa) then rotate_ql_chain(rows + 1, cb, sb)
    // would give them; the pass reads and writes each row once for both.
    // rows[0 .. count+1] are distinct; tick as for rotate_ql_chain, once
    // per rotation applied (2 * count calls).
    void (*rotate_ql_pair)(double* const* rows, idx n, const double* ca, const double* sa, const double* cb,
                           const double* sb, idx count, void (*tick)(void*), void* ctx);
    // rotate_jacobi: g = x[k], h = y[k]; x[k] = g - s*(h + g*tau);
    // y[k] = h + s*(g - h*tau).
    void (*rotate_jacobi)(double* x, double* y, idx n, double s, double tau);
    // add_scaled: y[k] += a*x[k].  sub_scaled: y[k] -= x[k]*a.
    void (*add_scaled)(double* y, const double* x, idx n, double a);
    // add_scaled_rows: add_scaled(y, x[j] + off, n, a[j]) for j = 0, 1, ...,
    // count-1 in that order (no row overlaps y); count <= 0 does nothing.
    void (*add_scaled_rows)(double* y, const double* const* x, idx off, const double* a, idx count, idx n);
    void (*sub_scaled)(double* y, const double* x, idx n, double a);
    // sub_scaled_rows: sub_scaled(Y + r*ldy, x, n, g[r*ldg]) for r = 0 ..
    // rows-1: one elimination step on a block of rows, with x the pivot row
    // and g the rows' multipliers. No row of Y overlaps x or g.
    void (*sub_scaled_rows)(double* Y, idx ldy, const double* x, idx n, const double* g, idx ldg, idx rows);
    // sub_rank_two: y[k] -= (a*p[k] + b*q[k]).
    void (*sub_rank_two)(double* y, const double* p, const double* q, idx n, double a, double b);
    // reflect3: p = r0[k] + q*r1[k]; p = p + r*r2[k]; r2[k] -= p*z;
    // r1[k] -= p*y; r0[k] -= p*x.
    void (*reflect3)(double* r0, double* r1, double* r2, idx n, double q, double r, double x, double y, double z);
    // reflect2: p = r0[k] + q*r1[k]; r1[k] -= p*y; r0[k] -= p*x.
    void (*reflect2)(double* r0, double* r1, idx n, double q, double x, double y);
    // transpose_block: X[c*ldx + r] = M[r*ldm + c] for 0 <= r < rows and
    // 0 <= c < cols (a copy, no arithmetic); the mirror writes of the Jacobi
    // solver's symmetric matrix and the eliminations' column-major panels.
    // The two blocks do not overlap.
    void (*transpose_block)(const double* M, idx ldm, double* X, idx ldx, idx rows, idx cols);

    // ---- generator ------------------------------------------------------------
    // twist: one regeneration of the MT19937 state s[0 .. kTwistWords-1], in
    // place, with the result of the in-order loop over all words.
    void (*twist)(std::uint32_t* s);
};

// The table in use.
const kernel_table& kernels();

// The plain loops: the definition every other table is tested against.
const kernel_table& reference_kernels();

// The table of one instruction set (whether or not the processor can run it).
const kernel_table& kernels_for(isa level);

// Whether the running processor (and operating system) can execute a set.
bool isa_supported(isa level);

// Lower-case name of a set: "sse2", "avx2", "avx512", "avx512_256",
// "generic", "neon".
const char* isa_name(isa level);

// The name of the set whose table kernels() returns now ("reference" for the
// plain loops).
const char* instruction_set_name();

// The set chosen when LINALG_ISA is unset: the widest the processor
// supports; of the two AVX-512 sets, the 256-bit-tile one on processors
// that execute 512-bit operations as two halves (AMD), else the 512-bit one.
// neon on aarch64, generic on other architectures.
isa default_isa();

// The choice made from a LINALG_ISA value: `value` (nullptr or empty when
// the variable is unset) against the default set `best` (see default_isa;
// a set is available when it needs no processor feature beyond those of
// `best`). An unknown name (a set of another architecture is unknown), or a
// set that is not available, is ignored: the
// result is `best` and *reason (when given) says why, in one line without a
// line feed; otherwise *reason is left empty.
isa choose_isa(const char* value, isa best, std::string* reason);

// Int-dimension forms used by the sequential and OpenMP operations; sizes of
// zero or less do nothing (products over an empty summation index write
// zeros). Products of at most blocking.direct_products multiply-adds run
// the table's mm_direct, which gives the same bits without the packing cost.
void mm_rows(const double* A, int nCols, const double* B, int nCols2, double* X, idx r0, idx r1);
// The active table when its mm_team should run a product of `rows` rows, or
// nullptr when it has none or the product is empty or small (then mm_rows
// per thread).
const kernel_table* mm_team_for(idx rows, int nCols, int nCols2);
// Bytes of a work block for one packed slice of B in a product with a
// summation index of length k and m columns under blocking b, 64 bytes of
// alignment slack included (align64 finds the start); 0 if that size cannot
// be represented.
std::size_t packed_slice_bytes(const kernel_blocking& b, idx k, idx m);
void mv_rows(const double* M, const double* V, int nRowsV, double* X, idx r0, idx r1);
void vm_cols(const double* V, int nColsV, const double* M, int nColsM, double* X, idx c0, idx c1);
void cross_rows(const double* V1, const double* V2, int nCols, double* X, idx r0, idx r1);
void transpose_rows(const double* M, int nRows, int nCols, double* X, idx r0, idx r1);

} // namespace linalg

#endif
