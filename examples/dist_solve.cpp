// Solves a linear system spread over the ranks of an MPI job: every rank
// builds and holds only its own rows of A and b (the distributed form), and
// DLA::SolveLSE_R returns each rank its rows of x.
// Run: mpirun -n 2 ./example_dist_solve
#include "linalg_dist.h"

#include <cmath>
#include <cstdio>
#include <vector>

using LinearAlgebra::DLA;

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    if (DLA::Init_MPI(MPI_COMM_WORLD, 0, 0, 0) != 0) {
        MPI_Finalize();
        return 1;
    }
    // A = tridiag(-1, 4, -1), x = (1, 2, ..., n): b = A x.
    const int n = 1000;
    const int rows = DLA::RowsCount(n, rank), first = DLA::RowsFirst(n, rank);
    std::vector<double> A(static_cast<size_t>(rows) * n, 0.0), b(rows), x(rows);
    for (int i = 0; i < rows; ++i) {
        const int gi = first + i;
        A[static_cast<size_t>(i) * n + gi] = 4.0;
        b[i] = 4.0 * (gi + 1);
        if (gi > 0) A[static_cast<size_t>(i) * n + gi - 1] = -1.0, b[i] -= gi;
        if (gi + 1 < n) A[static_cast<size_t>(i) * n + gi + 1] = -1.0, b[i] -= gi + 2;
    }
    DLA::SolveLSE_R(A.data(), b.data(), x.data(), n);

    double err = 0.0;
    for (int i = 0; i < rows; ++i) err = std::fmax(err, std::fabs(x[i] - (first + i + 1)));
    MPI_Allreduce(MPI_IN_PLACE, &err, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    int size = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    if (rank == 0) std::printf("n = %d on %d ranks: max |x - x_exact| = %.3g\n", n, size, err);

    DLA::Exit_MPI();
    MPI_Finalize();
    return err < 1e-9 ? 0 : 1;
}
