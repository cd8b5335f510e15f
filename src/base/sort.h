// Shell sort with the gap sequence 1, 4, 13, 40, ... used by SortV and SortVI.
#ifndef LINALG_BASE_SORT_H
#define LINALG_BASE_SORT_H

namespace linalg {

// Sorts x[0..n-1] ascending in place. When tag is not null, tag[j] moves
// together with x[j]. The first gap is two members of the sequence below the
// first member >= n; each pass inserts from the right end with a strict
// greater-than, so a value stops in front of an equal one (and a NaN, which
// compares false, never moves and stops everything that meets it).
inline void shell_sort(double* x, int n, int* tag) {
    if (n <= 0) return;
    long long h = 1;
    while (h < n) h = 3 * h + 1;
    h /= 9;
    if (h == 0) h = 1;
    for (; h != 0; h /= 3) {
        for (long long i = n - h - 1; i >= 0; --i) {
            const double v = x[i];
            const int t = tag ? tag[i] : 0;
            long long j = i + h;
            while (j < n && v > x[j]) {
                x[j - h] = x[j];
                if (tag) tag[j - h] = tag[j];
                j += h;
            }
            x[j - h] = v;
            if (tag) tag[j - h] = t;
        }
    }
}

} // namespace linalg

#endif
