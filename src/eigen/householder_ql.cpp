// Symmetric eigenproblem by Householder tridiagonalisation followed by the
// QL algorithm with implicit shifts.
#include "base/message.h"
#include "base/work_memory.h"
#include "eigen/eigen.h"
#include "eigen/kernels.h"

#include "linalg.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <new>

namespace linalg {

namespace {
constexpr int kMaxIterations = 30;  // per eigenvalue, before the late phase
constexpr double kShiftFactor = 0.75;  // late exceptional shift
constexpr int kChain = 512;  // most QL rotations per chunk when sweeps are paired
constexpr int kShortChain = 64;  // most QL rotations per chunk otherwise
constexpr int kFusedRows = 8;  // rows updated, then summed, per block
constexpr int kFusedSumsFrom = 32;  // order from which tred2 gets its scratch vector
constexpr int kTicksFrom = 48;  // order from which the QL steps run inside the chain passes
constexpr int kPairsFrom = 128;  // order from which two sweeps are applied to z in one pass
constexpr int kLowerFrom = 700;  // order from which the reduction keeps the lower triangle only

// True when d[l..m] and e[l..m-1] are all finite.
bool block_finite(const double* d, const double* e, int l, int m) {
    for (int i = l; i <= m; ++i)
        if (!std::isfinite(d[i]) || (i < m && !std::isfinite(e[i]))) return false;
    return true;
}

// The reflection of step i formed from row u = a[i], l = i-1 columns left
// of the diagonal: u[1..l] divided by their scale, u[l] = f - g, h and the
// off-diagonal element e[i] = scale g. No reflection when l < 2 or the row
// is zero left of the diagonal; e[i] is then u[l].
struct Reflection {
    bool reflected = false;
    double h = 0.0;
    double e = 0.0;
};

Reflection reflect(double* u, int l) {
    Reflection r;
    if (l <= 1) {
        r.e = u[l];
        return r;
    }
    double scale = 0.0;
    for (int k = 1; k <= l; ++k) scale += std::fabs(u[k]);
    if (scale == 0.0) {
        r.e = u[l];
        return r;
    }
    double h = 0.0;
    for (int k = 1; k <= l; ++k) u[k] /= scale;
    for (int k = 1; k <= l; ++k) h += u[k] * u[k];
    const double f = u[l];
    const double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
    r.e = scale * g;
    h -= f * g;
    u[l] = f - g;
    r.reflected = true;
    r.h = h;
    return r;
}
} // namespace

double pythag(double a, double b) {
    const double absa = std::fabs(a);
    const double absb = std::fabs(b);
    if (absa > absb) {
        const double ratio = absb / absa;
        return absa * std::sqrt(1.0 + ratio * ratio);
    }
    if (absb == 0.0) return 0.0;
    const double ratio = absa / absb;
    return absb * std::sqrt(1.0 + ratio * ratio);
}

namespace {
// One block of rows j = j0 .. j1-1 (at most kFusedRows, blocks taken in
// ascending order from row 1) of the sums s[c] = sum over j of u[j] a[j][c]
// of a symmetric matrix held in its lower triangle (a[j][c] for c > j is
// the mirror a[c][j]). Sum s[j] takes its terms j' < j from row j itself,
// in ascending order from 0.0, when row j's block comes; the terms j' >= j
// come as the rows j' pass by, each row adding into the sums of the
// columns up to its diagonal. So every sum takes its terms in ascending j',
// as the products over full rows do, with half the elements read. The
// block's own sums run side by side (independent chains).
void lower_sums_block(double* s, double* const* a, const double* u, int j0, int j1) {
    double acc[kFusedRows] = {};
    const int cnt = j1 - j0;
    for (int k = 1; k < j0; ++k) {
        const double uk = u[k];
        for (int r = 0; r < cnt; ++r) acc[r] += uk * a[j0 + r][k];
    }
    for (int r = 0; r < cnt; ++r) {
        for (int k = j0; k < j0 + r; ++k) acc[r] += u[k] * a[j0 + r][k];
        s[j0 + r] = acc[r];
    }
    // Columns 1 .. j0 take every row of the block; the columns inside the
    // block only the rows at or below them.
    add_scaled_rows(s + 1, a + j0, 1, u + j0, cnt, j0);
    for (int j = j0 + 1; j < j1; ++j) add_scaled(s + j0 + 1, a[j] + j0 + 1, j - j0, u[j]);
}

// The reduction of tred2 on the lower triangle alone: the same steps and
// the same operations per element as the full form in tred2 below, with
// the upper triangle neither read nor written (except column i, which
// takes u/h at step i) and the sums of the matrix-vector products formed
// by lower_sums_block. At large orders the full form's active block leaves
// the cache, and this one moves half the bytes.
void reduce_lower(double** a, int n, double* d, double* e) {
    Reflection r{};
    if (n >= 2) r = reflect(a[n], n - 1);
    bool have_sums = false;
    double* const s = a[0];
    for (int i = n; i >= 2; --i) {
        const int l = i - 1;
        double* const u = a[i];
        e[i] = r.e;
        const double h = r.h;
        const bool reflected = r.reflected;
        r = Reflection{};
        if (reflected) {
            if (have_sums) {
                for (int j = 1; j <= l; ++j) e[j] = s[j];
            } else {
                for (int j0 = 1; j0 <= l; j0 += kFusedRows) lower_sums_block(e, a, u, j0, std::min(l + 1, j0 + kFusedRows));
            }
            double f = 0.0;
            for (int j = 1; j <= l; ++j) {
                a[j][i] = u[j] / h;
                e[j] = e[j] / h;
                f += e[j] * u[j];
            }
            const double hh = f / (h + h);
            for (int j = 1; j <= l; ++j) e[j] = e[j] - hh * u[j];
            auto update_row = [&](int j) { sub_rank_two(a[j] + 1, e + 1, u + 1, j, u[j], e[j]); };
            update_row(l);
            if (l >= 2) r = reflect(a[l], l - 1);
            have_sums = r.reflected;
            const int ln = l - 1;
            for (int j0 = 1; j0 <= ln; j0 += kFusedRows) {
                const int j1 = std::min(ln + 1, j0 + kFusedRows);
                for (int j = j0; j < j1; ++j) update_row(j);
                if (have_sums) lower_sums_block(s, a, a[l], j0, j1);
            }
        } else {
            have_sums = false;
            if (l >= 2) r = reflect(a[l], l - 1);
        }
        d[i] = h;
    }
}

// Stage 1 of tred2 in full form.
void reduce_full(double** a, int n, double* d, double* e) {
    // Stage 1 keeps the active block (rows and columns 1..l) symmetric in
    // full: the element above the diagonal holds the bits of its mirror, and
    // every update below the diagonal is repeated above it with the same
    // operands. Then both sums of the matrix-vector product run along rows
    // and the rank-two update is one contiguous pass per row. The input's
    // upper triangle is never read: it is overwritten by the mirror first.
    for (int i = 2; i <= n; ++i) {
        double* row = a[i];
        for (int j = 1; j < i; ++j) a[j][i] = row[j];
    }

    // Stage 1: for each row i from the bottom, a Householder reflection that
    // zeroes a[i][1..i-2]. The vector u stays in row i, u/h in column i, and
    // d[i] keeps h (0.0 when no reflection was needed).
    //
    // The rank-two update of step i and the row sums of step i-1 share one
    // pass over the rows: row i-1 is updated first, so the next reflection
    // can be formed from it, then each block of rows is updated and at once
    // added into the next sums (in row a[0]) while it is still in cache.
    // Every element takes the same operations in the same order as with one
    // pass for the update and one for the sums.
    Reflection r{};
    if (n >= 2) r = reflect(a[n], n - 1);
    bool have_sums = false;
    double* const s = a[0];
    for (int i = n; i >= 2; --i) {
        const int l = i - 1;
        double* const u = a[i];
        e[i] = r.e;
        const double h = r.h;
        const bool reflected = r.reflected;
        r = Reflection{};
        if (reflected) {
            // e[j] = (A u)_j / h. Each sum starts at 0.0 and takes its terms
            // in ascending k, one row of the block per step.
            if (have_sums) {
                for (int j = 1; j <= l; ++j) e[j] = s[j];
            } else {
                for (int j = 1; j <= l; ++j) e[j] = 0.0;
                add_scaled_rows(e + 1, a + 1, 1, u + 1, l, l);
            }
            double f = 0.0;
            for (int j = 1; j <= l; ++j) {
                a[j][i] = u[j] / h;
                e[j] = e[j] / h;
                f += e[j] * u[j];
            }
            const double hh = f / (h + h);
            for (int j = 1; j <= l; ++j) e[j] = e[j] - hh * u[j];
            // Rank-two update of row j: element k takes (u_j e_k + e_j u_k).
            // Its mirror (k, j) takes (u_k e_j + e_k u_j): the same two
            // products, added the other way round, so both keep the same bits
            // (multiplication and addition are commutative in IEEE
            // arithmetic).
            auto update_row = [&](int j) { sub_rank_two(a[j] + 1, e + 1, u + 1, l, u[j], e[j]); };
            update_row(l);
            if (l >= 2) r = reflect(a[l], l - 1);
            have_sums = r.reflected;
            const int ln = l - 1;
            if (have_sums)
                for (int j = 1; j <= ln; ++j) s[j] = 0.0;
            for (int j0 = 1; j0 <= ln; j0 += kFusedRows) {
                const int j1 = std::min(ln + 1, j0 + kFusedRows);
                for (int j = j0; j < j1; ++j) update_row(j);
                if (have_sums) add_scaled_rows(s + 1, a + j0, 1, a[l] + j0, j1 - j0, ln);
            }
        } else {
            have_sums = false;
            if (l >= 2) r = reflect(a[l], l - 1);
        }
        d[i] = h;
    }
}

// Steps i0 .. i1-1 of the accumulation (below) applied to the columns of Q
// in strips of about strip_bytes: each strip takes all the steps, in order,
// while it stays in cache. Step i turns column j < i of Q (rows 1 .. i-1)
// by its own sum g = u Q[.][j] (u row i's reflector, ascending rows) and
// Q[k][j] -= g v[k] (v = column i's), then clears Q[i][j]; column i itself
// becomes e_i. A column's update reads only the column and the reflector,
// so every element takes the same operations in the same order as in the
// step-by-step passes. The reflectors lie in rows and columns i0 .. i1-1,
// which the strips overwrite, so they are copied to U and V first (block
// of 2 (i1 - i0) (n + 1) values); h[i - i0] is d[i] on entry.
void accumulate_in_strips(double** a, int i0, int i1, double* d, double* U, double* V, double* h, int n,
                          idx strip_bytes) {
    const int steps = i1 - i0;
    const std::ptrdiff_t ld = n + 1;
    for (int t = 0; t < steps; ++t) {
        const int i = i0 + t;
        std::copy(a[i] + 1, a[i] + i, U + t * ld + 1);
        h[t] = d[i];
        d[i] = a[i][i];
    }
    for (int k = 1; k < i1; ++k)
        for (int t = std::max(0, k + 1 - i0); t < steps; ++t) V[t * ld + k] = a[k][i0 + t];
    const idx rows = std::max(1, i1 - 1);
    const int width = static_cast<int>(std::max<idx>(32, (strip_bytes / (8 * rows)) & ~idx{7}));
    double* const g = a[0];
    for (int c0 = 1; c0 < i1; c0 += width) {
        const int c1 = std::min(i1, c0 + width);
        for (int t = 0; t < steps; ++t) {
            const int i = i0 + t;
            const int l = i - 1;
            const int w = std::min(c1, i) - c0;
            if (w > 0) {
                if (h[t] != 0.0) {
                    const double* const u = U + t * ld;
                    const double* const v = V + t * ld;
                    for (int j = 0; j < w; ++j) g[c0 + j] = 0.0;
                    add_scaled_rows(g + c0, a + 1, c0, u + 1, l, w);
                    for (int k = 1; k <= l; ++k) sub_scaled(a[k] + c0, g + c0, w, v[k]);
                }
                for (int j = 0; j < w; ++j) a[i][c0 + j] = 0.0;
            }
            if (i >= c0 && i < c1) {
                for (int k = 1; k < i; ++k) a[k][i] = 0.0;
                a[i][i] = 1.0;
            }
        }
    }
}
} // namespace

void tred2(double** a, int n, double* d, double* e, double* w) { tred2(a, n, d, e, w, kLowerFrom); }

void tred2(double** a, int n, double* d, double* e, double* w, int lower_from) {
    const kernel_blocking& b = kernels().blocking;
    const int steps = n >= b.acc_from ? static_cast<int>(std::min<idx>(b.acc_steps, 1 << 20)) : 0;
    tred2(a, n, d, e, w, lower_from, steps, b.acc_strip_bytes);
}

void tred2(double** a, int n, double* d, double* e, double* w, int lower_from, int acc_steps,
           std::ptrdiff_t acc_strip_bytes) {
    if (n >= lower_from)
        reduce_lower(a, n, d, e);
    else
        reduce_full(a, n, d, e);

    // Stage 2 in blocks of acc_steps steps, each applied to Q strip by
    // strip; without room for the reflectors' copies, the passes below.
    if (acc_steps >= 2 && n >= 2) {
        const int steps = std::min(acc_steps, n);
        const std::size_t ld = static_cast<std::size_t>(n) + 1;
        void* const block = work_alloc(static_cast<std::size_t>(steps) * (2 * ld + 1) * sizeof(double));
        if (block != nullptr) {
            double* const U = static_cast<double*>(block);
            double* const V = U + steps * ld;
            double* const h = V + steps * ld;
            d[1] = 0.0;
            e[1] = 0.0;
            for (int i0 = 1; i0 <= n; i0 += steps)
                accumulate_in_strips(a, i0, std::min(n + 1, i0 + steps), d, U, V, h, n, acc_strip_bytes);
            work_free(block);
            return;
        }
    }

    // Stage 2: accumulate the reflections into Q, from the top left corner
    // outwards, and collect the diagonal. Step i's sums g[1..l] = (row i) Q,
    // each element summed in ascending k, then row k -= g a[k][i] for every
    // k <= l. When step i+1 runs too, its sums are made in step i's pass:
    // each block of rows, once updated (and its column i cleared), is added
    // into them while it is still in cache, and row i last, once it is
    // final. Every element takes the same operations in the same order as
    // with separate passes.
    if (n >= 1) {
        d[1] = 0.0;
        e[1] = 0.0;
    }
    double* g = a[0];
    double* next = w;
    bool have_sums_of_i = false;
    for (int i = 1; i <= n; ++i) {
        const int l = i - 1;
        double* const ai = a[i];
        bool made_next = false;
        if (d[i] != 0.0) {
            if (!have_sums_of_i) {
                for (int j = 1; j <= l; ++j) g[j] = 0.0;
                add_scaled_rows(g + 1, a + 1, 1, ai + 1, l, l);
            }
            made_next = w != nullptr && i < n && d[i + 1] != 0.0;
            if (made_next)
                for (int j = 1; j <= i; ++j) next[j] = 0.0;
            for (int k0 = 1; k0 <= l; k0 += kFusedRows) {
                const int k1 = std::min(l + 1, k0 + kFusedRows);
                for (int k = k0; k < k1; ++k) {
                    sub_scaled(a[k] + 1, g + 1, l, a[k][i]);
                    a[k][i] = 0.0;
                }
                if (made_next) add_scaled_rows(next + 1, a + k0, 1, a[i + 1] + k0, k1 - k0, i);
            }
        }
        d[i] = ai[i];
        ai[i] = 1.0;
        for (int j = 1; j <= l; ++j) a[j][i] = ai[j] = 0.0;
        if (made_next) {
            add_scaled(next + 1, ai + 1, i, a[i + 1][i]);
            std::swap(g, next);
        }
        have_sums_of_i = made_next;
    }
}

namespace {

// A run of QL rotations of one sweep, rotation i (of rows i and i+1 of z) at
// slot i - lo of c and s: the rotations hi-1 down to first, to be applied
// to z as one chain.
struct QlChunk {
    int lo = 0, first = 0, hi = 0;
    double* c = nullptr;
    double* s = nullptr;
};

// Chunks waiting to be applied, in the order the iteration made them. The
// front one is being applied while the iteration fills the next free slot.
// Each slot holds up to `room` rotations at c and s, room apart in `store`.
struct QlChunkQueue {
    QlChunkQueue(QlChunk* slots, int count, double* store, int room) : slot(slots), slots(count) {
        for (int i = 0; i < count; ++i) {
            slot[i].c = store + 2 * static_cast<std::ptrdiff_t>(i) * room;
            slot[i].s = slot[i].c + room;
        }
    }
    QlChunk* slot;
    int slots;
    int head = 0, ready = 0;
    QlChunk& front() { return slot[head]; }
    const QlChunk& at(int i) const { return slot[(head + i) % slots]; }
    void pop() {
        head = (head + 1) % slots;
        --ready;
    }
    const QlChunk& second() const { return at(1); }
    bool can_open() const { return ready < slots; }
    QlChunk& open() { return slot[(head + ready) % slots]; }
    void push() { ++ready; }
};

// The implicit-shift QL iteration on d and e, run in steps of a few
// rotations (one when the chain kernel calls back). It never reads z: it
// leaves its rotations in a queue of chunks, and the caller applies them to
// z in the same order, interleaving the steps with that work (the steps are
// a chain of divisions and square roots, the application a stream of
// independent multiplications and additions).
//
// The first 30 iterations for an eigenvalue run as they always have. A
// matrix that needs more (projections, graded matrices, spectra graded down
// to eps) has stagnated with an off-diagonal element that is rounding noise
// against the whole matrix but not against its tiny diagonal neighbours,
// where the relative split test cannot hold. So past iteration 30 an element
// below eps times the 1-norm of the tridiagonal matrix splits too (a
// backward-stable test), and every tenth iteration shifts by
// d[l] + 0.75 (|e[l]| + |e[l+1]|) instead of the eigenvalue of the leading
// 2 x 2 block. Only after 30 max(10, n) iterations, or on a block holding NaN
// or infinity (checked every tenth late iteration), does the fatal exit
// follow.
class QlIteration {
public:
    // Chunks of at most `chain` rotations.
    QlIteration(double* d, double* e, int n, int chain, QlChunkQueue& queue)
        : d_(d), e_(e), n_(n), chain_(chain), queue_(queue) {
        for (int i = 1; i <= n; ++i) {
            const double col = std::fabs(d[i]) + std::fabs(e[i]) + (i > 1 ? std::fabs(e[i - 1]) : 0.0);
            if (col > tnorm_) tnorm_ = col;
        }
        limit_ = kMaxIterations * std::max(10, n);
    }

    bool done() const { return done_; }
    bool failed() const { return failed_; }

    // Up to `budget` rotations, with the search for a split and the shift
    // before each sweep; stops early at the end of a chunk, and does nothing
    // while every chunk slot is taken. The recurrence's values stay in
    // registers from one rotation to the next within a call.
    void step(int budget) {
        if (done_ || (!in_sweep_ && !start_sweep())) return;
        if (!filling_) {
            if (!queue_.can_open()) return;
            QlChunk& ch = queue_.open();
            ch.lo = lo_;
            ch.hi = hi_;
            filling_ = true;
        }
        QlChunk& ch = queue_.open();
        double* const d = d_;
        double* const e = e_;
        const int l = l_, m = m_, lo = lo_;
        double g = g_, p = p_, sn = sn_, cs = cs_;
        int i = i_;
        for (;;) {
            const double f = sn * e[i];
            const double b = cs * e[i];
            double r = pythag(f, g);
            e[i + 1] = r;
            if (r == 0.0) {
                // Recover from underflow: drop the rotation and restart the
                // search for a split.
                d[i + 1] -= p;
                e[m] = 0.0;
                close(i + 1);
                in_sweep_ = false;
                return;
            }
            sn = f / r;
            cs = g / r;
            g = d[i + 1] - p;
            r = (d[i] - g) * sn + 2.0 * cs * b;
            p = sn * r;
            d[i + 1] = g + p;
            g = cs * r - b;
            // Rotation of vectors i and i+1, rows of z.
            ch.c[i - lo] = cs;
            ch.s[i - lo] = sn;
            if (i == l) {
                d[l] -= p;
                e[l] = g;
                e[m] = 0.0;
                close(lo);
                in_sweep_ = false;
                return;
            }
            const bool chunk_end = i == lo;
            --i;
            if (chunk_end) {
                close(lo);
                hi_ = lo;
                lo_ = lo - chain_ > l ? lo - chain_ : l;
                break;
            }
            if (--budget == 0) break;
        }
        g_ = g;
        p_ = p;
        sn_ = sn;
        cs_ = cs;
        i_ = i;
    }

private:
    // Finds the next unreduced block from l_ on and sets up its sweep;
    // false (and done) when every eigenvalue has converged or on failure.
    bool start_sweep() {
        double* const d = d_;
        double* const e = e_;
        for (;;) {
            if (l_ > n_) {
                done_ = true;
                return false;
            }
            // The first negligible off-diagonal element at or after l splits
            // the matrix; m = n when there is none.
            const bool late = iter_ >= kMaxIterations;
            int m;
            for (m = l_; m <= n_ - 1; ++m) {
                const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
                // An off-diagonal element below the smallest normal number
                // also splits: next to (near-)zero diagonal entries the
                // relative test could never hold, and subnormal values carry
                // too few bits for the iteration to shrink them further.
                if (std::fabs(e[m]) + dd == dd || std::fabs(e[m]) < DBL_MIN) break;
                if (late && std::fabs(e[m]) + tnorm_ == tnorm_) break;
            }
            if (m == l_) {
                ++l_;
                iter_ = 0;
                continue;
            }
            bool exceptional = false;
            if (late && iter_ % 10 == 0) {
                if (iter_ >= limit_ || !block_finite(d, e, l_, m)) {
                    done_ = failed_ = true;
                    fatal_numeric_error("Too many iterations in tqli");
                    return false;
                }
                exceptional = true;
            }
            ++iter_;
            const int l = l_;
            double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
            const double r = pythag(g, 1.0);
            g = d[m] - d[l] + e[l] / (g + (g >= 0.0 ? std::fabs(r) : -std::fabs(r)));
            if (exceptional) g = d[m] - d[l] - kShiftFactor * (std::fabs(e[l]) + std::fabs(e[l + 1]));
            g_ = g;
            sn_ = cs_ = 1.0;
            p_ = 0.0;
            m_ = m;
            i_ = m - 1;
            hi_ = m;
            lo_ = hi_ - chain_ > l ? hi_ - chain_ : l;
            in_sweep_ = true;
            return true;
        }
    }

    // Ends the chunk being filled at rotation `first`; an empty one is
    // dropped.
    void close(int first) {
        QlChunk& ch = queue_.open();
        ch.first = first;
        filling_ = false;
        if (first < ch.hi) queue_.push();
    }

    double* d_;
    double* e_;
    int n_;
    int chain_;
    QlChunkQueue& queue_;
    double tnorm_ = 0.0;
    int limit_ = 0;
    int l_ = 1, iter_ = 0, m_ = 0, i_ = 0, lo_ = 0, hi_ = 0;
    double g_ = 0.0, p_ = 0.0, sn_ = 1.0, cs_ = 1.0;
    bool in_sweep_ = false, filling_ = false, done_ = false, failed_ = false;
};

void ql_tick(void* it) { static_cast<QlIteration*>(it)->step(1); }

using Tick = void (*)(void*);

// Chunk x applied to z, as two runs together with chunk y after it (see
// rotate_rows_ql_twice), or alone when y is null.
void apply_chunks(const QlChunk& x, const QlChunk* y, double** z, int n, Tick tick, void* ctx) {
    // A chunk's rotation i at c[i - lo], s[i - lo]; its run starts at first.
    const auto c_of = [](const QlChunk& ch) { return ch.c + (ch.first - ch.lo); };
    const auto s_of = [](const QlChunk& ch) { return ch.s + (ch.first - ch.lo); };
    rotate_rows_ql_twice(z, n, c_of(x), s_of(x), x.first, x.hi, y ? c_of(*y) : nullptr, y ? s_of(*y) : nullptr,
                         y ? y->first : 0, y ? y->hi : 0, tick, ctx);
}

constexpr int kPiece = 256;  // most rotations per kernel call

// Rotations [from, to) of a run whose rotation i (rows i and i+1 of z,
// columns col+1 .. col+n) has c[i - base], s[i - base], applied from the top
// down as chains of at most kPiece rotations (a chain cut in two gives the
// same bits: the running row is stored and read back).
void chain_run(double** z, int col, int n, const double* c, const double* s, int base, int from, int to, Tick tick,
               void* ctx) {
    double* rows[kPiece + 1];
    while (from < to) {
        const int lo = std::max(from, to - kPiece);
        for (int j = lo; j <= to; ++j) rows[j - lo] = z[j] + 1 + col;
        rotate_rows_ql_chain(rows, n, c + (lo - base), s + (lo - base), to - lo, tick, ctx);
        to = lo;
    }
}

// rotate_rows_ql_twice on columns col+1 .. col+n of z.
void twice_on_columns(double** z, int col, int n, const double* cx, const double* sx, int x_first, int x_hi,
                      const double* cy, const double* sy, int y_first, int y_hi, Tick tick, void* ctx) {
    // At step t rotation t of x, then rotation t+1 of y: they touch rows
    // t, t+1 and t+1, t+2, and by then x has done all it does to rows t+1
    // and t+2, while what it does below waits for nothing of y. The steps
    // where both have a rotation, [m0, m1), run as pairs; above and below
    // them each run's rest runs alone, in the same order of steps.
    const int m1 = std::min(x_hi, y_hi - 1), m0 = std::max(x_first, y_first - 1);
    if (m0 >= m1) {
        chain_run(z, col, n, cx, sx, x_first, x_first, x_hi, tick, ctx);
        chain_run(z, col, n, cy, sy, y_first, y_first, y_hi, tick, ctx);
        return;
    }
    chain_run(z, col, n, cx, sx, x_first, m1, x_hi, tick, ctx);
    chain_run(z, col, n, cy, sy, y_first, m1 + 1, y_hi, tick, ctx);
    double* rows[kPiece + 2];
    for (int t1 = m1; t1 > m0;) {
        const int t0 = std::max(m0, t1 - kPiece);
        for (int j = t0; j <= t1 + 1; ++j) rows[j - t0] = z[j] + 1 + col;
        rotate_rows_ql_pair(rows, n, cx + (t0 - x_first), sx + (t0 - x_first), cy + (t0 + 1 - y_first),
                            sy + (t0 + 1 - y_first), t1 - t0, tick, ctx);
        t1 = t0;
    }
    chain_run(z, col, n, cx, sx, x_first, x_first, m0, tick, ctx);
    chain_run(z, col, n, cy, sy, y_first, y_first, m0 + 1, tick, ctx);
}

// The chunks in the queue applied to z strip by strip: each strip of
// columns takes them all, two at a time, in the order they were made, then
// the next strip follows. A strip is about strip_bytes of the rows the
// chunks touch (a multiple of 32 columns, at least 32: the chain kernels
// run four vectors of up to 8 columns side by side, independent recurrences
// that hide each other's latency).
void apply_ahead(const QlChunkQueue& q, double** z, int n, idx strip_bytes) {
    int top = n, bottom = 1;
    for (int i = 0; i < q.ready; ++i) {
        top = std::min(top, q.at(i).first);
        bottom = std::max(bottom, q.at(i).hi);
    }
    const idx rows = std::max(1, bottom - top + 1);
    idx w = strip_bytes / (rows * static_cast<idx>(sizeof(double))) / 32 * 32;
    w = std::max<idx>(w, 32);
    const int width = w >= n ? n : static_cast<int>(w);
    const auto c_of = [](const QlChunk& ch) { return ch.c + (ch.first - ch.lo); };
    const auto s_of = [](const QlChunk& ch) { return ch.s + (ch.first - ch.lo); };
    for (int col = 0; col < n; col += width) {
        const int cols = std::min(width, n - col);
        for (int i = 0; i < q.ready; i += 2) {
            const QlChunk& x = q.at(i);
            const QlChunk* y = i + 1 < q.ready ? &q.at(i + 1) : nullptr;
            twice_on_columns(z, col, cols, c_of(x), s_of(x), x.first, x.hi, y ? c_of(*y) : nullptr,
                             y ? s_of(*y) : nullptr, y ? y->first : 0, y ? y->hi : 0, nullptr, nullptr);
        }
    }
}

} // namespace

void rotate_rows_ql_twice(double** z, int n, const double* cx, const double* sx, int x_first, int x_hi,
                          const double* cy, const double* sy, int y_first, int y_hi, void (*tick)(void*), void* ctx) {
    twice_on_columns(z, 0, n, cx, sx, x_first, x_hi, cy, sy, y_first, y_hi, tick, ctx);
}

bool tqli(double* d, double* e, int n, double** z) {
    const kernel_blocking& b = kernels().blocking;
    const int sweeps = n >= b.ql_ahead_from ? static_cast<int>(std::min<idx>(b.ql_sweeps, 1 << 20)) : 0;
    return tqli(d, e, n, z, sweeps, b.ql_strip_bytes);
}

bool tqli(double* d, double* e, int n, double** z, int sweeps, idx strip_bytes) {
    // From here on e[i] couples i and i+1.
    for (int i = 2; i <= n; ++i) e[i - 1] = e[i];
    if (n >= 1) e[n] = 0.0;

    // Run ahead: the iteration fills every slot with one sweep (or the part
    // of one up to an underflow), then z takes them all strip by strip. The
    // rotations never depend on z, so only the traversal of z changes.
    // Without room for the slots, the passes below give the same bits.
    if (sweeps >= 2 && n >= 2) {
        const std::size_t room = static_cast<std::size_t>(n);
        const std::size_t count = static_cast<std::size_t>(sweeps);
        void* const block = work_alloc(count * (2 * room * sizeof(double) + sizeof(QlChunk)));
        if (block != nullptr) {
            double* const store = static_cast<double*>(block);
            QlChunk* const slots = new (store + 2 * count * room) QlChunk[count];
            QlChunkQueue queue(slots, sweeps, store, n);
            QlIteration ql(d, e, n, n, queue);
            for (;;) {
                while (!ql.done() && queue.can_open()) ql.step(n);
                if (queue.ready == 0) break;
                apply_ahead(queue, z, n, strip_bytes);
                while (queue.ready > 0) queue.pop();
            }
            work_free(block);
            return !ql.failed();
        }
    }

    // The rotations are applied to z chunk by chunk in the order they were
    // made, so every element of z gets them in that order; while chunks are
    // applied, the iteration makes the next ones (at small orders a pass is
    // too short to hide a step, and the steps run between passes). From
    // kPairsFrom on two chunks (mostly two whole sweeps) go through z in one
    // pass: each row of z is then read and written once for both.
    constexpr int kSlots = 4;
    QlChunk slots[kSlots];
    double store[2 * kSlots * kChain];
    QlChunkQueue queue(slots, kSlots, store, kChain);
    const bool pairs = n >= kPairsFrom;
    const int chain = pairs ? kChain : kShortChain;
    QlIteration ql(d, e, n, chain, queue);
    for (;;) {
        const Tick tick = ql.done() || n < kTicksFrom ? nullptr : ql_tick;
        if (pairs && queue.ready >= 2) {
            apply_chunks(queue.front(), &queue.second(), z, n, tick, &ql);
            queue.pop();
            queue.pop();
        } else if (queue.ready > 0 && (!pairs || ql.done())) {
            apply_chunks(queue.front(), nullptr, z, n, tick, &ql);
            queue.pop();
        } else if (!ql.done()) {
            ql.step(chain);
        } else {
            break;
        }
    }
    return !ql.failed();
}

void EigenSymmSystemHQL(double* M, int nDim, double* eV, double* eM) {
    if (nDim <= 0) return;
    const char* who = "EigenSymmSystemMsqH";
    double** a = alloc_work_matrix(nDim, who);
    double* d = a ? alloc_work_vector(nDim, who) : nullptr;
    double* e = d ? alloc_work_vector(nDim, who) : nullptr;
    // Below kFusedSumsFrom the accumulation's passes stay separate: the
    // scratch vector would cost more than the pass it saves.
    double* w = e && nDim >= kFusedSumsFrom ? alloc_work_vector(nDim, who) : nullptr;
    if (e != nullptr && (w != nullptr || nDim < kFusedSumsFrom)) {
        copy_to_work(M, nDim, a);
        bool finite;
        const int k = range_exponent(a, nDim, Triangle::Lower, &finite);
        if (!finite) set_status(Error::NonFinite);
        if (k != 0) scale_work(a, nDim, k);
        tred2(a, nDim, d, e, w);
        // The QL rotations then work on Q's columns as contiguous rows.
        transpose_work(a, nDim);
        const bool converged = tqli(d, e, nDim, a);
        if (eigen_failed(converged, finite)) {
            fill_nan(eV, nDim);
            fill_nan(eM, static_cast<long long>(nDim) * nDim);
        } else {
            if (k != 0) scale_vector(d, nDim, -k);
            eigsrt_rows(d, a, nDim);
            store_eigensystem(d, a, nDim, eV, eM);
        }
    }
    free_work_matrix(a, nDim);
    free_work_vector(d);
    free_work_vector(e);
    free_work_vector(w);
}

} // namespace linalg
