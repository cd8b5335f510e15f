// Benchmark of liblinalg_dist: each operation in its root form, its
// distributed form and as the ScaLAPACK routine called directly on data
// already on the grid (the anchor), interleaved within each repetition; with
// --la also liblinalg's own routine on 2 OpenMP threads (meant for -n 1).
// Writes Google Benchmark style JSON (times in seconds, one entry per
// repetition and a median). Launched by scripts/bench_dist.sh.
//
// Usage: mpirun -n P bench_dist --n N [--ops solve,multiply,eigen] [--reps R]
//        [--eigen-reps R] [--la] [--la-eigen] [--cpu] [--out FILE]
#include "linalg.h"
#include "linalg_dist.h"
#include "distributed/scalapack.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

extern "C" void pdgesv_(const int* n, const int* nrhs, double* a, const int* ia, const int* ja, const int* desca,
                        int* ipiv, double* b, const int* ib, const int* jb, const int* descb, int* info);

using LinearAlgebra::DLA;
using LinearAlgebra::LA;
using Vec = std::vector<double>;

namespace {

int rank_ = 0, size_ = 1;
const int one = 1;
const double d_one = 1.0, d_zero = 0.0;

// Row i of a reproducible random matrix (symmetric when `symm`: entry (i, j)
// depends on min and max of i, j), so every rank can build its own rows.
double entry(int i, int j, bool symm) {
    if (symm && j > i) std::swap(i, j);
    std::uint64_t x = (static_cast<std::uint64_t>(i) << 32) ^ static_cast<std::uint64_t>(j) ^ 0x9E3779B97F4A7C15ull;
    x ^= x >> 33, x *= 0xff51afd7ed558ccdull, x ^= x >> 33, x *= 0xc4ceb9fe1a85ec53ull, x ^= x >> 33;
    return static_cast<double>(x >> 11) * 0x1.0p-52 - 1.0;
}

Vec rows_of(int first, int count, int n, bool symm, bool dominant) {
    Vec a(static_cast<size_t>(count) * n);
    for (int i = 0; i < count; ++i)
        for (int j = 0; j < n; ++j)
            a[static_cast<size_t>(i) * n + j] = entry(first + i, j, symm) + (dominant && first + i == j ? n : 0.0);
    return a;
}

struct Direct {
    int handle = -1, ctx = -1, all = -1, nprow = 1, npcol = 1, nb = 64, myrow = -1, mycol = -1;
    void init(int b) {
        nb = b;
        nprow = 1;
        for (int q = 1; q * q <= size_; ++q)
            if (size_ % q == 0) nprow = q;
        npcol = size_ / nprow;
        handle = Csys2blacs_handle(MPI_COMM_WORLD);
        ctx = all = handle;
        Cblacs_gridinit(&ctx, "Row-major", nprow, npcol);
        Cblacs_gridinit(&all, "Row-major", 1, size_);
        for (int c : {ctx, all}) {
            int on = 1;
            Cblacs_set(c, 15, &on), Cblacs_set(c, 16, &on);
        }
        int r, c;
        Cblacs_gridinfo(ctx, &r, &c, &myrow, &mycol);
    }
    int local(int n, int p, int np) const {
        const int zero = 0;
        return numroc_(&n, &nb, &p, &zero, &np);
    }
    void desc(int* d, int m, int n) const {
        const int v[9] = {1, ctx, m, n, nb, nb, 0, 0, std::max(1, local(m, myrow, nprow))};
        std::copy(v, v + 9, d);
    }
    // The column-major transpose (cols x rows) of row-major rows held as in
    // DLA's distributed form, onto the grid.
    Vec from_rows(Vec& mine, int rows, int cols, int* d) const {
        const int rb = (rows + size_ - 1) / size_;
        const int ds[9] = {1, all, cols, rows, cols, rb, 0, 0, std::max(1, cols)};
        desc(d, cols, rows);
        Vec part(std::max<size_t>(1, static_cast<size_t>(local(cols, myrow, nprow)) * local(rows, mycol, npcol)));
        Cpdgemr2d(cols, rows, mine.data(), 1, 1, const_cast<int*>(ds), part.data(), 1, 1, d, all);
        return part;
    }
};

struct Result {
    std::string name;
    std::vector<double> times;
};
std::vector<Result> results_;

void record(const std::string& name, double t) {
    for (Result& r : results_)
        if (r.name == name) return r.times.push_back(t);
    results_.push_back({name, {t}});
}

using Case = std::pair<std::string, std::function<void()>>;

// --cpu: processor time of the call instead of wall time, the largest over
// the ranks. On a host shared with other work, wall times of the same call
// can differ tenfold while processor time stays put; it counts the time a
// rank spends polling for messages it waits for (run with
// OMPI_MCA_mpi_yield_when_idle=1 so that a waiting rank gives way).
bool cpu_time_ = false;

double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

double timed(const std::function<void()>& f) {
    MPI_Barrier(MPI_COMM_WORLD);
    if (cpu_time_) {
        const double c0 = cpu_now();
        f();
        double c = cpu_now() - c0;
        MPI_Allreduce(MPI_IN_PLACE, &c, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
        return c;
    }
    const double t0 = MPI_Wtime();
    f();
    MPI_Barrier(MPI_COMM_WORLD);
    return MPI_Wtime() - t0;
}

// One repetition of every case, starting at a different case each time so
// that no contender always runs first (warm caches, first-touch pages).
void run_rotated(std::vector<Case>& cases, int rep, const std::function<void()>& reset) {
    for (size_t k = 0; k < cases.size(); ++k) {
        Case& c = cases[(k + rep) % cases.size()];
        if (c.first.empty()) continue;
        reset();
        if (c.first.compare(0, 4, "LA::") == 0) {  // rank 0 alone: no barrier
            const double t0 = MPI_Wtime();
            c.second();
            record(c.first, MPI_Wtime() - t0);
        } else {
            record(c.first, timed(c.second));
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &size_);
    int n = 1000, reps = 3, eigen_reps = 1;
    bool la = false, la_eigen = false;
    std::string ops = "solve,multiply,eigen", out;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (a == "--n") n = std::atoi(next().c_str());
        else if (a == "--reps") reps = std::atoi(next().c_str());
        else if (a == "--eigen-reps") eigen_reps = std::atoi(next().c_str());
        else if (a == "--ops") ops = next();
        else if (a == "--la") la = true;
        else if (a == "--la-eigen") la_eigen = true;
        else if (a == "--out") out = next();
        else if (a == "--cpu") cpu_time_ = true;
    }
    const int nb = 64;
    DLA::Init_MPI(MPI_COMM_WORLD, 0, 0, nb);
    if (la && rank_ == 0) LA::Init_openMP(2);
    Direct d;
    d.init(nb);
    const int held = DLA::RowsCount(n, rank_), first = DLA::RowsFirst(n, rank_);
    const std::string tag = "/" + std::to_string(n) + "/ranks:" + std::to_string(size_);

    if (ops.find("solve") != std::string::npos) {
        Vec Ar = rows_of(first, held, n, false, true), br(held, 1.0), xr(held);
        Vec A = rank_ == 0 ? rows_of(0, n, n, false, true) : Vec(1), b(n, 1.0), x(n);
        int dt[9], da[9], db[9], info = 0;
        Vec at = d.from_rows(Ar, n, n, dt), a0(at.size()), a(at.size());
        d.desc(da, n, n);
        pdtran_(&n, &n, &d_one, at.data(), &one, &one, dt, &d_zero, a0.data(), &one, &one, da);
        d.desc(db, n, 1);  // b = ones, in process column 0
        Vec b0(static_cast<size_t>(d.local(n, d.myrow, d.nprow)) + 1, 1.0), bb(b0.size());
        std::vector<int> ipiv(d.local(n, d.myrow, d.nprow) + nb);
        std::vector<Case> cases = {
            {"pdgesv" + tag, [&] { pdgesv_(&n, &one, a.data(), &one, &one, da, ipiv.data(), bb.data(), &one, &one, db, &info); }},
            {"DLA::SolveLSE" + tag, [&] { DLA::SolveLSE(A.data(), b.data(), x.data(), n); }},
            {"DLA::SolveLSE_R" + tag, [&] { DLA::SolveLSE_R(Ar.data(), br.data(), xr.data(), n); }},
            {la && rank_ == 0 ? "LA::SolveLSE1/threads:2" + tag : "", [&] { LA::SolveLSE1(A.data(), b.data(), x.data(), n); }}};
        for (int r = 0; r < reps; ++r)
            run_rotated(cases, r, [&] {
                std::copy(a0.begin(), a0.end(), a.begin());
                std::copy(b0.begin(), b0.end(), bb.begin());
            });
    }
    if (ops.find("multiply") != std::string::npos) {
        Vec Ar = rows_of(first, held, n, false, false), Br = rows_of(n + first, held, n, false, false);
        Vec Cr(Ar.size());
        Vec A = rank_ == 0 ? rows_of(0, n, n, false, false) : Vec(1);
        Vec B = rank_ == 0 ? rows_of(n, n, n, false, false) : Vec(1), C(A.size());
        int da[9], dbm[9], dc[9];
        Vec at = d.from_rows(Ar, n, n, da), bt = d.from_rows(Br, n, n, dbm), ct(at.size());
        d.desc(dc, n, n);
        std::vector<Case> cases = {
            {"pdgemm" + tag, [&] { pdgemm_("N", "N", &n, &n, &n, &d_one, bt.data(), &one, &one, dbm, at.data(), &one, &one, da, &d_zero, ct.data(), &one, &one, dc, 1, 1); }},
            {"DLA::MultiplyMM" + tag, [&] { DLA::MultiplyMM(A.data(), n, n, B.data(), n, C.data()); }},
            {"DLA::MultiplyMM_R" + tag, [&] { DLA::MultiplyMM_R(Ar.data(), n, n, Br.data(), n, Cr.data()); }},
            {la && rank_ == 0 ? "LA::MultiplyMM1/threads:2" + tag : "", [&] { LA::MultiplyMM1(A.data(), n, n, B.data(), n, C.data()); }}};
        for (int r = 0; r < reps; ++r) run_rotated(cases, r, [] {});
    }
    if (ops.find("eigen") != std::string::npos) {
        Vec Mr = rows_of(first, held, n, true, false), eV(n), eMr(Mr.size());
        Vec M = rank_ == 0 ? rows_of(0, n, n, true, false) : Vec(1), eM(M.size());
        int da[9], info = 0;
        Vec a0 = d.from_rows(Mr, n, n, da), a(a0.size()), z(a0.size()), w(n);
        int lwork = -1, liwork = -1, iq = 0;
        double q = 0;
        pdsyevd_("V", "U", &n, a.data(), &one, &one, da, w.data(), z.data(), &one, &one, da, &q, &lwork, &iq,
                 &liwork, &info, 1, 1);
        const int np = d.local(n, d.myrow, d.nprow), nq = d.local(n, d.mycol, d.npcol);
        lwork = static_cast<int>(q) + std::max(nb * (nb - 1) / 2, (np + nq) * nb) + nb * nb;
        liwork = iq;
        Vec work(lwork);
        std::vector<int> iwork(liwork);
        std::vector<Case> cases = {
            {"pdsyevd" + tag, [&] { pdsyevd_("V", "U", &n, a.data(), &one, &one, da, w.data(), z.data(), &one, &one, da, work.data(), &lwork, iwork.data(), &liwork, &info, 1, 1); }},
            {"DLA::EigenSymmSystemMsqD" + tag, [&] { DLA::EigenSymmSystemMsqD(M.data(), n, eV.data(), eM.data()); }},
            {"DLA::EigenSymmSystemMsqD_R" + tag, [&] { DLA::EigenSymmSystemMsqD_R(Mr.data(), n, eV.data(), eMr.data()); }}};
        for (int r = 0; r < eigen_reps; ++r) run_rotated(cases, r, [&] { std::copy(a0.begin(), a0.end(), a.begin()); });
        // liblinalg's eigen-solver is sequential and slow at these orders: once.
        if (la_eigen && rank_ == 0)
        {
            const double t0 = MPI_Wtime();
            LA::EigenSymmSystemMsqH(M.data(), n, eV.data(), eM.data());
            record("LA::EigenSymmSystemMsqH" + tag, MPI_Wtime() - t0);
        }
    }

    if (rank_ == 0) {
        FILE* f = out.empty() ? stdout : std::fopen(out.c_str(), "w");
        char date[64];
        const std::time_t now = std::time(nullptr);
        std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
        std::fprintf(f, "{\n  \"context\": {\"date\": \"%s\", \"ranks\": %d, \"grid\": \"%dx%d\", \"nb\": %d, \"n\": %d, "
                        "\"clock\": \"%s\"},\n",
                     date, size_, d.nprow, d.npcol, nb, n, cpu_time_ ? "cpu" : "wall");
        std::fprintf(f, "  \"benchmarks\": [\n");
        bool firstline = true;
        for (Result& r : results_) {
            std::vector<double> s = r.times;
            std::sort(s.begin(), s.end());
            const double median = s.size() % 2 ? s[s.size() / 2] : 0.5 * (s[s.size() / 2 - 1] + s[s.size() / 2]);
            for (double t : r.times) {
                std::fprintf(f, "%s    {\"name\": \"%s\", \"run_type\": \"iteration\", \"real_time\": %.6f, \"time_unit\": \"s\"}",
                             firstline ? "" : ",\n", r.name.c_str(), t);
                firstline = false;
            }
            std::fprintf(f, ",\n    {\"name\": \"%s_median\", \"run_type\": \"aggregate\", \"aggregate_name\": \"median\", "
                            "\"real_time\": %.6f, \"time_unit\": \"s\", \"repetitions\": %zu}",
                         r.name.c_str(), median, r.times.size());
        }
        std::fprintf(f, "\n  ]\n}\n");
        if (f != stdout) std::fclose(f);
    }
    for (int c : {d.ctx, d.all})
        if (c >= 0) Cblacs_gridexit(c);
    Cfree_blacs_system_handle(d.handle);
    DLA::Exit_MPI();
    MPI_Finalize();
    return 0;
}
