// Functions that keep no state between calls, run from several threads at
// once on disjoint arrays, give the same bits as when they run one at a time.
//
// Each job builds its own inputs from a salt, calls the library and returns
// everything it wrote (integers as their values). The expected results come
// from running every job once, alone; then several threads run all jobs at
// the same time, each in a different order and with its own salts, and every
// result is compared bit for bit.
#include <gtest/gtest.h>

#include "linalg.h"
#include "support/reference.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using LinearAlgebra::LA;

namespace {

using Result = std::vector<double>;
struct Job {
    std::string name;
    std::function<Result(std::uint64_t salt)> run;
};

Result from_ints(const std::vector<int>& v) { return Result(v.begin(), v.end()); }

// Symmetric matrix from a random one: (R + R^T) / 2.
std::vector<double> symmetric(int n, std::uint64_t salt) {
    auto R = ref::random_vector(static_cast<std::size_t>(n) * n, salt);
    std::vector<double> S(R.size());
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) S[i * n + j] = 0.5 * (R[i * n + j] + R[j * n + i]);
    return S;
}

std::vector<Job> sequential_jobs() {
    std::vector<Job> jobs;
    jobs.push_back({"MultiplyMM", [](std::uint64_t s) {
        const int n = 70, k = 90, m = 50;
        auto A = ref::random_vector(n * k, s), B = ref::random_vector(k * m, s + 1);
        Result X(n * m);
        LA::MultiplyMM(A.data(), n, k, B.data(), m, X.data());
        return X;
    }});
    jobs.push_back({"MultiplyMV+MultiplyVM", [](std::uint64_t s) {
        const int r = 300, c = 200;
        auto M = ref::awkward_vector(r * c, s), V = ref::random_vector(c, s + 1), W = ref::random_vector(r, s + 2);
        Result X(r + c);
        LA::MultiplyMV(M.data(), r, V.data(), c, X.data());
        LA::MultiplyVM(W.data(), r, M.data(), c, X.data() + r);
        return X;
    }});
    jobs.push_back({"TransposeM+AddMM+SubstractMM+MultiplyMS", [](std::uint64_t s) {
        const int r = 120, c = 90;
        auto M1 = ref::awkward_vector(r * c, s), M2 = ref::random_vector(r * c, s + 1);
        Result X(4 * r * c);
        LA::TransposeM(M1.data(), r, c, X.data());
        LA::AddMM(M1.data(), M2.data(), r, c, X.data() + r * c);
        LA::SubstractMM(M1.data(), M2.data(), r, c, X.data() + 2 * r * c);
        LA::MultiplyMS(M1.data(), r, c, 0.37, X.data() + 3 * r * c);
        return X;
    }});
    jobs.push_back({"vector reductions and element-wise", [](std::uint64_t s) {
        const int n = 5000;
        auto V1 = ref::awkward_vector(n, s), V2 = ref::random_vector(n, s + 1);
        Result X(4 * n + 4);
        LA::AddVV(V1.data(), V2.data(), n, X.data());
        LA::SubstractVV(V1.data(), V2.data(), n, X.data() + n);
        LA::TableMultiplyVV(V1.data(), V2.data(), n, X.data() + 2 * n);
        LA::MultiplyVS(V2.data(), n, -3.5, X.data() + 3 * n);
        X[4 * n] = LA::SumV(V2.data(), n);
        X[4 * n + 1] = LA::SumVV(V2.data(), n);
        X[4 * n + 2] = LA::DotVV(V1.data(), V2.data(), n);
        X[4 * n + 3] = LA::SqrtVV(V2.data(), n);
        return X;
    }});
    jobs.push_back({"CrossVV", [](std::uint64_t s) {
        auto V1 = ref::random_vector(150, s), V2 = ref::random_vector(130, s + 1);
        Result X(150 * 130);
        LA::CrossVV(V1.data(), 150, V2.data(), 130, X.data());
        return X;
    }});
    jobs.push_back({"SortV+SortVI", [](std::uint64_t s) {
        const int n = 3000;
        auto V = ref::random_vector(n, s);
        for (int i = 0; i < n; i += 7) V[i] = V[i / 2];  // ties
        Result X(n);
        std::vector<int> XI(n);
        LA::SortV(V.data(), n, X.data());
        LA::SortVI(V.data(), n, XI.data());
        Result I = from_ints(XI);
        X.insert(X.end(), I.begin(), I.end());
        return X;
    }});
    jobs.push_back({"FindV+SelectV+AssembleVV", [](std::uint64_t s) {
        const int n = 4000;
        auto V = ref::random_vector(n, s), V2 = ref::random_vector(n, s + 1);
        std::vector<int> XI(n, -1), F(n);
        for (int i = 0; i < n; ++i) F[i] = V2[i] > 0 ? 1 : 0;
        const int count = LA::FindV(V.data(), n, 0.25, 1, XI.data());
        Result X(2 * n + 1, 0.0);
        LA::SelectV(V.data(), F.data(), n, X.data());
        LA::AssembleVV(V.data(), F.data(), n, V2.data(), X.data() + n);
        X[2 * n] = count;
        Result I = from_ints(XI);
        X.insert(X.end(), I.begin(), I.end());
        return X;
    }});
    jobs.push_back({"SelectMsq+AggregateMMsq", [](std::uint64_t s) {
        const int n = 60, b = 3, v = 8, N = 45;
        auto M = ref::random_vector(n * n, s), m = ref::random_vector(b * v * b * v, s + 1);
        std::vector<int> F(n), blocks(v);
        for (int i = 0; i < n; ++i) F[i] = (i * 7 + static_cast<int>(s)) % 3 == 0;
        for (int k = 0; k < v; ++k) blocks[k] = (k * 5 + static_cast<int>(s)) % (N / b);
        Result X(n * n, 0.0), Big(N * N, 1.0);
        LA::SelectMsq(M.data(), n, F.data(), X.data());
        LA::AggregateMMsq(m.data(), b * v, blocks.data(), v, Big.data(), N);
        X.insert(X.end(), Big.begin(), Big.end());
        return X;
    }});
    return jobs;
}

// Solvers, inverse, determinant and eigen-solvers. SolveLSE1 reads the
// thread count only, which is set once before the threads start.
std::vector<Job> solver_jobs() {
    std::vector<Job> jobs;
    using SolverFn = void (*)(double*, double*, double*, int);
    const std::pair<const char*, SolverFn> solvers[] = {{"SolveLSE", &LA::SolveLSE}, {"SolveLSE1", &LA::SolveLSE1}};
    for (const auto& [name, f] : solvers)
        jobs.push_back({name, [f = f](std::uint64_t s) {
            const int n = 90;
            auto A = ref::random_matrix(n, s), B = ref::random_vector(n, s + 1);
            Result X(n);
            f(A.data(), B.data(), X.data(), n);
            return X;
        }});
    jobs.push_back({"InverseMsq+DeterminantMsq", [](std::uint64_t s) {
        const int n = 70;
        auto A = ref::random_matrix(n, s);
        Result X(n * n + 1);
        LA::InverseMsq(A.data(), X.data(), n);
        X[n * n] = LA::DeterminantMsq(A.data(), n);
        return X;
    }});
    // A work matrix above 4 MB: the threads take and return the one large
    // block that work memory keeps between calls.
    jobs.push_back({"DeterminantMsq, large", [](std::uint64_t s) {
        const int n = 730;
        auto A = ref::random_matrix(n, s);
        return Result{LA::DeterminantMsq(A.data(), n)};
    }});
    using EigFn = void (*)(double*, int, double*, double*);
    const std::pair<const char*, EigFn> eig[] = {{"EigenSymmSystemMsqJ", &LA::EigenSymmSystemMsqJ},
                                                 {"EigenSymmSystemMsqH", &LA::EigenSymmSystemMsqH}};
    for (const auto& [name, f] : eig)
        jobs.push_back({name, [f = f](std::uint64_t s) {
            const int n = 40;
            auto M = symmetric(n, s);
            Result X(n + n * n);
            f(M.data(), n, X.data(), X.data() + n);
            return X;
        }});
    jobs.push_back({"EigenUnSymmSystemMsq", [](std::uint64_t s) {
        const int n = 50;
        auto M = ref::random_vector(n * n, s);
        Result X(2 * n);
        LA::EigenUnSymmSystemMsq(M.data(), n, X.data(), X.data() + n);
        return X;
    }});
    return jobs;
}

std::vector<Job> all_jobs() {
    std::vector<Job> jobs = sequential_jobs();
    for (auto& j : solver_jobs()) jobs.push_back(std::move(j));
    return jobs;
}

// Runs every job in `threads` threads at once, `rounds` times, and compares
// with the results of one-at-a-time runs.
void run_concurrently(const std::vector<Job>& jobs, int threads, int rounds) {
    const int nj = static_cast<int>(jobs.size());
    auto salt = [](int t, int j) { return static_cast<std::uint64_t>(1000 * t + 17 * j + 1); };

    std::vector<std::vector<Result>> expected(threads, std::vector<Result>(nj));
    for (int t = 0; t < threads; ++t)
        for (int j = 0; j < nj; ++j) expected[t][j] = jobs[j].run(salt(t, j));

    std::vector<std::vector<Result>> got(threads, std::vector<Result>(nj));
    for (int round = 0; round < rounds; ++round) {
        std::atomic<int> ready{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                ++ready;
                while (ready.load() < threads) std::this_thread::yield();  // start together
                for (int i = 0; i < nj; ++i) {
                    const int j = (i + t + round) % nj;  // a different order per thread
                    got[t][j] = jobs[j].run(salt(t, j));
                }
            });
        for (auto& th : pool) th.join();
        for (int t = 0; t < threads; ++t)
            for (int j = 0; j < nj; ++j) {
                ASSERT_EQ(got[t][j].size(), expected[t][j].size()) << jobs[j].name;
                EXPECT_TRUE(ref::same_bits(got[t][j], expected[t][j]))
                    << jobs[j].name << ", thread " << t << ", round " << round;
            }
    }
}

} // namespace

class Concurrency : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ref::StdoutCapture quiet;
        ASSERT_EQ(LA::Init_openMP(2), 0);
    }
};

TEST_F(Concurrency, JobsAreDeterministicAlone) {
    // The comparison below is only meaningful if a job repeats itself.
    for (const auto& job : all_jobs()) EXPECT_TRUE(ref::same_bits(job.run(5), job.run(5))) << job.name;
}

TEST_F(Concurrency, SequentialOperationsFromFourThreads) {
    run_concurrently(sequential_jobs(), 4, 3);
}

TEST_F(Concurrency, SolversAndEigenSolversFromFourThreads) {
    run_concurrently(solver_jobs(), 4, 3);
}

TEST_F(Concurrency, EverythingMixedFromThreeThreads) {
    run_concurrently(all_jobs(), 3, 2);
}
