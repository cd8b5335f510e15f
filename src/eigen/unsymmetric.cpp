// Eigenvalues of a general real matrix: balancing, reduction to upper
// Hessenberg form and the shifted double-step QR algorithm.
#include "base/message.h"
#include "eigen/eigen.h"
#include "eigen/kernels.h"

#include "linalg.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <initializer_list>

namespace linalg {

namespace {
constexpr double kGain = 0.95;         // rescale only for a gain of 5 % or more
constexpr int kMaxIterations = 30;     // per eigenvalue or pair, before the late phase
constexpr double kWorkFactor = 4.0;    // QR step work allowed per call, in cubes of the order
constexpr double kShiftFactor = 0.75;  // exceptional shift x = y = 0.75*s
constexpr double kShiftProduct = -0.4375;  // and w = -0.4375*s^2
// Two doubles operated on lane by lane (each lane gets exactly the scalar
// operations written with it).
typedef double pair __attribute__((vector_size(2 * sizeof(double))));
} // namespace

void balanc(double** a, int n) {
    bool rescaled = true;
    while (rescaled) {
        rescaled = false;
        for (int i = 1; i <= n; ++i) {
            double csum = 0.0, rsum = 0.0;
            for (int j = 1; j <= n; ++j) {
                if (j == i) continue;
                csum += std::fabs(a[j][i]);
                rsum += std::fabs(a[i][j]);
            }
            // A zero sum leaves the row alone. So does an infinite or NaN
            // sum: scaling an infinity by powers of two never brings it
            // within bounds, and the loops below would not end.
            if (csum == 0.0 || rsum == 0.0 || !std::isfinite(csum) || !std::isfinite(rsum)) continue;
            // f is a power of the radix 2; the column sum moves by its square.
            double g = rsum * 0.5;
            double f = 1.0;
            const double s = csum + rsum;
            while (csum < g) {
                f = f * 2.0;
                csum = csum * 4.0;
            }
            g = rsum * 2.0;
            while (csum > g) {
                f = f * 0.5;
                csum = csum * 0.25;
            }
            if ((csum + rsum) / f < kGain * s) {
                rescaled = true;
                const double inv = 1.0 / f;
                for (int j = 1; j <= n; ++j) a[i][j] *= inv;
                for (int j = 1; j <= n; ++j) a[j][i] *= f;
            }
        }
    }
}

namespace {

// acc[g] += y[i] * rows[g][i] for i = i0 .. i1-1 in ascending order, for G
// rows at once: G independent chains, each taking its terms one at a time.
template <int G>
inline void accumulate_rows(double* acc, double* const* rows, const double* y, int i0, int i1) {
    for (int i = i0; i < i1; ++i) {
        const double yi = y[i];
        for (int g = 0; g < G; ++g) acc[g] += yi * rows[g][i];
    }
}

// One elimination step of elmhes, column m-1, when every row below m has a
// nonzero multiplier. The plain order is, for i = m+1 .. n in turn: the row
// update R_i (a[i][j] -= a[m][j]*y_i, j = m..n) and then the column update
// C_i (a[j][m] += y_i*a[j][i], j = 1..n). Here each row is finished in one
// contiguous pass instead, with every element receiving the same operations
// in the same order:
//  - a[m][j], j > m, is never written in the step; a[m][m] takes the C_i
//    terms in order, and R_i reads it as it stood before C_i: those values
//    are kept in column 0 (a[i][0]);
//  - row r < m only takes the C_i terms, on values the step does not change;
//  - row r > m takes into a[r][m] the C_i terms for i < r (on values before
//    R_r), then R_r, then the C_i terms for i >= r (on values after R_r).
// y_i goes to row 0 (a[0][i]) as well as to a[i][m-1]. Rows are handled G
// at a time so that the G sums advance together.
void elimination_step_dense(double** a, int n, int m, double x) {
    constexpr int G = 8;
    double* const y = a[0];
    for (int i = m + 1; i <= n; ++i) {
        y[i] = a[i][m - 1] / x;
        a[i][m - 1] = y[i];
    }
    double* const am = a[m];
    double amm = am[m];
    for (int i = m + 1; i <= n; ++i) {
        a[i][0] = amm;
        amm += y[i] * am[i];
    }
    am[m] = amm;

    double acc[G];
    double* rows[G];
    // Rows above m: only the column update terms.
    int r = 1;
    for (; r + G <= m; r += G) {
        for (int g = 0; g < G; ++g) {
            rows[g] = a[r + g];
            acc[g] = rows[g][m];
        }
        accumulate_rows<G>(acc, rows, y, m + 1, n + 1);
        for (int g = 0; g < G; ++g) rows[g][m] = acc[g];
    }
    for (; r < m; ++r) {
        acc[0] = a[r][m];
        accumulate_rows<1>(acc, &a[r], y, m + 1, n + 1);
        a[r][m] = acc[0];
    }
    // Rows below m, G consecutive rows r0 .. r0+G-1 (fewer at the end).
    const int len = n - m;  // elements m+1 .. n of the row update
    for (int r0 = m + 1; r0 <= n; r0 += G) {
        const int cnt = std::min(G, n - r0 + 1);
        for (int g = 0; g < cnt; ++g) {
            rows[g] = a[r0 + g];
            acc[g] = rows[g][m];
        }
        if (cnt == G) {
            accumulate_rows<G>(acc, rows, y, m + 1, r0);
        } else {
            for (int g = 0; g < cnt; ++g) accumulate_rows<1>(acc + g, rows + g, y, m + 1, r0);
        }
        for (int g = 0; g < cnt; ++g) {
            const int rg = r0 + g;
            double* const row = rows[g];
            accumulate_rows<1>(acc + g, rows + g, y, r0, rg);
            acc[g] -= row[0] * y[rg];
            sub_scaled(row + m + 1, am + m + 1, len, y[rg]);
            accumulate_rows<1>(acc + g, rows + g, y, rg, r0 + cnt);
        }
        if (cnt == G) {
            accumulate_rows<G>(acc, rows, y, r0 + G, n + 1);
        } else {
            for (int g = 0; g < cnt; ++g) accumulate_rows<1>(acc + g, rows + g, y, r0 + cnt, n + 1);
        }
        for (int g = 0; g < cnt; ++g) rows[g][m] = acc[g];
    }
}

} // namespace

void elmhes(double** a, int n) {
    for (int m = 2; m < n; ++m) {
        // Pivot: the largest magnitude in column m-1 at or below row m; the
        // lowest row wins a tie.
        double x = 0.0;
        int i = m;
        for (int j = m; j <= n; ++j) {
            if (std::fabs(a[j][m - 1]) > std::fabs(x)) {
                x = a[j][m - 1];
                i = j;
            }
        }
        if (i != m) {
            for (int j = m - 1; j <= n; ++j) std::swap(a[i][j], a[m][j]);
            for (int j = 1; j <= n; ++j) std::swap(a[j][i], a[j][m]);
        }
        if (x == 0.0) continue;
        bool dense = true;
        for (i = m + 1; i <= n && dense; ++i) dense = a[i][m - 1] != 0.0;
        if (dense) {
            elimination_step_dense(a, n, m, x);
            continue;
        }
        for (i = m + 1; i <= n; ++i) {
            double y = a[i][m - 1];
            if (y != 0.0) {
                y /= x;
                a[i][m - 1] = y;
                // A row update (contiguous), then a column update (strided).
                sub_scaled(a[i] + m, a[m] + m, n - m + 1, y);
                for (int j = 1; j <= n; ++j) a[j][m] += y * a[j][i];
            }
        }
    }
}

namespace {
// True when every element of the active window (rows and columns l..nn of
// the Hessenberg matrix) is finite.
bool window_finite(double** a, int l, int nn) {
    for (int i = l; i <= nn; ++i)
        for (int j = std::max(l, i - 1); j <= nn; ++j)
            if (!std::isfinite(a[i][j])) return false;
    return true;
}

// True when the product a*b of two nonzero finite numbers fell below the
// normal range (its digits are lost to underflow).
inline bool product_underflows(double a, double b) { return a != 0.0 && b != 0.0 && std::fabs(a * b) < DBL_MIN; }

// 2^-e for the exponent e of the largest of the magnitudes given: numbers
// multiplied by it lie below 2 and products of two of them neither overflow
// nor (unless negligible beside the largest) underflow.
double scale_for(std::initializer_list<double> values) {
    double big = 0.0;
    for (double v : values) big = std::max(big, std::fabs(v));
    return big == 0.0 ? 1.0 : std::ldexp(1.0, -std::ilogb(big));
}
} // namespace

bool hqr(double** a, int n, double* wr, double* wi) {
    double anorm = 0.0;
    for (int i = 1; i <= n; ++i)
        for (int j = std::max(i - 1, 1); j <= n; ++j) anorm += std::fabs(a[i][j]);

    // The first 30 iterations for an eigenvalue (or pair) run as they always
    // have, with the exceptional shifts before the 11th and 21st. A matrix
    // that needs more usually stagnates for one of two reasons: a
    // subdiagonal element has shrunk to rounding noise but is not small next
    // to tiny diagonal neighbours (zero or defective eigenvalues), or the
    // shifts equal a multiple eigenvalue and the step has no direction
    // (derogatory matrices, Day's matrix, companion matrices of repeated
    // roots). So past iteration 30 a subdiagonal element below eps times
    // the norm of the whole matrix is negligible too (a backward-stable
    // test), a real shift pair is replaced by its member nearer a[nn][nn]
    // taken twice, and every tenth iteration takes an exceptional shift
    // built from the top of the window instead of its bottom. Only after
    // 30 max(10, n) iterations, or on a window holding NaN or infinity
    // (checked every tenth late iteration), does the fatal exit follow.
    // It also follows, at the same checks, once the QR steps of the whole
    // call have done more than 4 max(10, n)^3 work, counted as the squared
    // order of the window per step. A whole solve does about n^3 of it
    // (between 0.45 and 1.35 n^3 on random, cyclic, companion, Grcar, Frank
    // and Jordan-like matrices), so only an iteration that has stalled gets
    // there; without the bound one stalled on a full window of order n would
    // go on for 30 n^3 before the per-eigenvalue cap ends it, and slow
    // convergence on eigenvalue after eigenvalue for longer still.
    const int limit = kMaxIterations * std::max(10, n);
    const double order = std::max(10, n);
    const double work_limit = kWorkFactor * order * order * order;
    double work = 0.0;
    int nn = n;
    double t = 0.0;  // sum of the exceptional shifts applied so far
    double p = 0.0, q = 0.0, r = 0.0, s = 0.0, w = 0.0, x = 0.0, y = 0.0, z = 0.0;
    // w is always formed as the product wa*wb; the factors serve where the
    // product over- or underflows.
    double wa = 0.0, wb = 0.0;
    while (nn >= 1) {
        int its = 0;
        int l;
        do {
            // Negligible subdiagonal element: l = 1 when there is none.
            const bool late = its >= kMaxIterations;
            for (l = nn; l >= 2; --l) {
                s = std::fabs(a[l - 1][l - 1]) + std::fabs(a[l][l]);
                if (s == 0.0) s = anorm;
                if (std::fabs(a[l][l - 1]) + s == s || (late && std::fabs(a[l][l - 1]) + anorm == anorm)) {
                    a[l][l - 1] = 0.0;
                    break;
                }
            }
            x = a[nn][nn];
            if (l == nn) {
                // One real root.
                wr[nn] = x + t;
                wi[nn] = 0.0;
                --nn;
                continue;
            }
            y = a[nn - 1][nn - 1];
            wa = a[nn][nn - 1];
            wb = a[nn - 1][nn];
            w = wa * wb;
            if (l == nn - 1) {
                // Two roots from the trailing 2 x 2 block; one that holds a
                // NaN or an infinity has none.
                if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(w)) {
                    fatal_numeric_error("Too many iterations in hqr");
                    return false;
                }
                p = 0.5 * (y - x);
                q = p * p + w;
                z = std::sqrt(std::fabs(q));
                // Where p*p or w left the normal range, the same roots from
                // p, wa and wb multiplied by a power of two c: q*c^2 and
                // z*c, with w/z = ((wa c)(wb c)/(z c))/c.
                double w_over_z = 0.0;
                bool scaled = false;
                if (!std::isfinite(q) || product_underflows(p, p) || product_underflows(wa, wb)) {
                    const double c = scale_for({p, wa, wb});
                    const double pc = p * c, wc = (wa * c) * (wb * c);
                    q = pc * pc + wc;
                    const double zc = std::sqrt(std::fabs(q));
                    z = zc / c;
                    if (q >= 0.0) {
                        const double zz = pc >= 0.0 ? pc + zc : pc - zc;
                        if (zz != 0.0) w_over_z = (wc / zz) / c;
                    }
                    scaled = true;
                }
                x += t;
                if (q >= 0.0) {
                    z = p >= 0.0 ? p + z : p - z;
                    wr[nn - 1] = wr[nn] = x + z;
                    if (z != 0.0) wr[nn] = x - (scaled ? w_over_z : w / z);
                    wi[nn - 1] = wi[nn] = 0.0;
                } else {
                    wr[nn - 1] = wr[nn] = x + p;
                    wi[nn] = z;
                    wi[nn - 1] = -z;
                }
                nn -= 2;
                continue;
            }

            // No root yet: one double-shift iteration.
            if (its == 10 || its == 20) {
                t += x;
                for (int i = 1; i <= nn; ++i) a[i][i] -= x;
                s = std::fabs(a[nn][nn - 1]) + std::fabs(a[nn - 1][nn - 2]);
                x = y = kShiftFactor * s;
                wa = kShiftProduct * s;
                wb = s;
                w = wa * wb;  // (-0.4375*s)*s, left to right
            } else if (late && its % 10 == 0) {
                if (its >= limit || work > work_limit || !window_finite(a, l, nn)) {
                    fatal_numeric_error("Too many iterations in hqr");
                    return false;
                }
                // The complex pair a[l][l] + s (0.75 +- 0.66i), s from the
                // two subdiagonal elements at the top of the window.
                s = std::fabs(a[l + 1][l]) + std::fabs(a[l + 2][l + 1]);
                x = y = a[l][l] + kShiftFactor * s;
                wa = kShiftProduct * s;
                wb = s;
                w = wa * wb;
            } else if (late) {
                // Real shifts: the one nearer a[nn][nn], twice.
                const double hp = 0.5 * (y - x);
                const double hq = hp * hp + w;
                if (hq >= 0.0) {
                    const double root = std::sqrt(hq);
                    x = y = hp >= 0.0 ? x + hp - root : x + hp + root;
                    w = wa = wb = 0.0;
                }
            }
            ++its;
            work += static_cast<double>(nn - l + 1) * (nn - l + 1);

            // Two consecutive small subdiagonal elements: start the step at m.
            int m;
            for (m = nn - 2; m >= l; --m) {
                z = a[m][m];
                r = x - z;
                s = y - z;
                const double h = a[m + 1][m];
                const bool lost = product_underflows(r, s) || product_underflows(wa, wb);
                const double rm = r, sm = s;
                p = (r * s - w) / h + a[m][m + 1];
                q = a[m + 1][m + 1] - z - r - s;
                r = a[m + 2][m + 1];
                if (lost || !std::isfinite(p)) {
                    // (r s - w)/h overflowed beside a tiny subdiagonal element,
                    // or r s or w underflowed (the shifts would be lost): the
                    // same direction multiplied through by |h| c^2, with every
                    // factor multiplied by the power of two c first.
                    const double c = scale_for({rm, sm, wa, wb, h, a[m][m + 1], q, r});
                    const double hc = std::fabs(h * c);
                    const double num = (rm * c) * (sm * c) - (wa * c) * (wb * c);
                    p = (h < 0.0 ? -num : num) + hc * (a[m][m + 1] * c);
                    q = hc * (q * c);
                    r = hc * (r * c);
                }
                s = std::fabs(p) + std::fabs(q) + std::fabs(r);
                p /= s;
                q /= s;
                r /= s;
                if (m == l) break;
                const double u = std::fabs(a[m][m - 1]) * (std::fabs(q) + std::fabs(r));
                const double v =
                    std::fabs(p) * (std::fabs(a[m - 1][m - 1]) + std::fabs(z) + std::fabs(a[m + 1][m + 1]));
                if (u + v == v) break;
            }
            for (int i = m + 2; i <= nn; ++i) {
                a[i][i - 2] = 0.0;
                if (i != m + 2) a[i][i - 3] = 0.0;
            }

            // Double-shift QR step on rows and columns m..nn, chasing the
            // bulge down the subdiagonal.
            for (int k = m; k <= nn - 1; ++k) {
                if (k != m) {
                    p = a[k][k - 1];
                    q = a[k + 1][k - 1];
                    r = 0.0;
                    if (k != nn - 1) r = a[k + 2][k - 1];
                    x = std::fabs(p) + std::fabs(q) + std::fabs(r);
                    if (x != 0.0) {
                        p /= x;
                        q /= x;
                        r /= x;
                    }
                }
                s = std::sqrt(p * p + q * q + r * r);
                if (p < 0.0) s = -s;
                if (s == 0.0) continue;
                if (k == m) {
                    if (l != m) a[k][k - 1] = -a[k][k - 1];
                } else {
                    a[k][k - 1] = -s * x;
                }
                p += s;
                x = p / s;
                y = q / s;
                z = r / s;
                q /= p;
                r /= p;
                // Hot loops: three rows along j (contiguous), then three
                // columns down i, three neighbouring elements per row. The
                // row loop leaves p as its last element's value, which the
                // column loop overwrites before any use.
                const int last = std::min(nn, k + 3);
                if (k != nn - 1) {
                    reflect_rows3(a[k] + k, a[k + 1] + k, a[k + 2] + k, nn - k + 1, q, r, x, y, z);
                    int i = l;
                    for (; i < last; i += 2) {
                        // Two rows at once, one in each lane.
                        double* const a0 = a[i] + k;
                        double* const a1 = a[i + 1] + k;
                        pair c0 = {a0[0], a1[0]}, c1 = {a0[1], a1[1]}, c2 = {a0[2], a1[2]};
                        pair pi = x * c0 + y * c1;
                        pi += z * c2;
                        c2 -= pi * r;
                        c1 -= pi * q;
                        c0 -= pi;
                        a0[0] = c0[0], a1[0] = c0[1];
                        a0[1] = c1[0], a1[1] = c1[1];
                        a0[2] = c2[0], a1[2] = c2[1];
                    }
                    for (; i <= last; ++i) {
                        double* const ai = a[i] + k;
                        double pi = x * ai[0] + y * ai[1];
                        pi += z * ai[2];
                        ai[2] -= pi * r;
                        ai[1] -= pi * q;
                        ai[0] -= pi;
                    }
                } else {
                    reflect_rows2(a[k] + k, a[k + 1] + k, nn - k + 1, q, x, y);
                    int i = l;
                    for (; i < last; i += 2) {
                        double* const a0 = a[i] + k;
                        double* const a1 = a[i + 1] + k;
                        pair c0 = {a0[0], a1[0]}, c1 = {a0[1], a1[1]};
                        const pair pi = x * c0 + y * c1;
                        c1 -= pi * q;
                        c0 -= pi;
                        a0[0] = c0[0], a1[0] = c0[1];
                        a0[1] = c1[0], a1[1] = c1[1];
                    }
                    for (; i <= last; ++i) {
                        double* const ai = a[i] + k;
                        const double pi = x * ai[0] + y * ai[1];
                        ai[1] -= pi * q;
                        ai[0] -= pi;
                    }
                }
            }
        } while (l < nn - 1);
    }
    return true;
}

void EigenUnSymmSystem(double* M, int nDim, double* eV_r, double* eV_i) {
    if (nDim <= 0) return;
    const char* who = "EigenUnSymmSystemMsq";
    double** a = alloc_work_matrix(nDim, who);
    double* wr = a ? alloc_work_vector(nDim, who) : nullptr;
    double* wi = wr ? alloc_work_vector(nDim, who) : nullptr;
    if (wi != nullptr) {
        copy_to_work(M, nDim, a);
        bool finite;
        const int k = range_exponent(a, nDim, Triangle::Full, &finite);
        if (!finite) set_status(Error::NonFinite);
        if (k != 0) scale_work(a, nDim, k);
        balanc(a, nDim);
        elmhes(a, nDim);
        const bool converged = hqr(a, nDim, wr, wi);
        if (eigen_failed(converged, finite)) {
            fill_nan(wr + 1, nDim);
            fill_nan(wi + 1, nDim);
        } else if (k != 0) {
            scale_vector(wr, nDim, -k);
            scale_vector(wi, nDim, -k);
        }
        for (int i = 0; i < nDim; ++i) {
            eV_r[i] = wr[i + 1];
            eV_i[i] = wi[i + 1];
        }
    }
    free_work_matrix(a, nDim);
    free_work_vector(wr);
    free_work_vector(wi);
}

} // namespace linalg
