// linalg — dense double-precision linear algebra on caller-owned raw arrays.
//
// Conventions shared by every function:
//  * Vectors are contiguous doubles, matrices are contiguous row-major doubles:
//    element (i, j) of a matrix with nCols columns is at index i*nCols + j.
//  * The caller allocates every output with the size the function writes.
//    No function keeps a pointer after it returns and none returns memory.
//  * Pointers are never checked for null. A size of zero or less writes
//    nothing; a sum over zero terms is 0.0.
//  * Results are reproducible to the last bit: the sequential and OpenMP
//    variants give identical bits for any thread count. Sums run in one
//    double accumulator in ascending index order; no fused multiply-add on
//    the CPU. The GPU products use one fused multiply-add per term.
//  * Problems are reported by messages on standard output; the section
//    "Error contract" at the end of this header lists every message, what
//    the outputs hold afterwards, how to detect a failure, and which
//    functions may run concurrently. linalg_diag.h adds, opt-in, a
//    per-thread status of the last call, a handler for the messages, and
//    switches for the fatal exit and the read from standard input.
//  * Thread safety: functions without library state (sequential operations,
//    CPU solvers, inverse, determinant, eigen-solvers) may run concurrently on
//    disjoint arrays. Init_openMP, the random generator and the GPU calls share
//    state: callers serialise them.
#ifndef LINALG_H
#define LINALG_H

#include <cstdint>

#include "linalg_version.h"  // LINALG_VERSION_MAJOR, _MINOR, _PATCH, LINALG_VERSION

#if defined(_WIN32)
#if defined(LINALG_BUILDING_DLL)
#define LINALG_API __declspec(dllexport)
#elif defined(LINALG_STATIC)
#define LINALG_API
#else
#define LINALG_API __declspec(dllimport)
#endif
#else
#define LINALG_API __attribute__((visibility("default")))
#endif

namespace LinearAlgebra {

class LINALG_API LA {
public:
    // ---- back-end initialisers -------------------------------------------
    // Records the OpenMP thread count (max_cores >= 1): returns 0. A count
    // above 1024 (or above the processor count, when that is larger, and never
    // above OMP_THREAD_LIMIT) is more than the runtime can be relied on to
    // start: a warning is printed and that bound is recorded instead. With
    // max_cores <= 0 returns 0 if a count is already recorded, else prints the
    // not-initialised message and returns -1.
    static int Init_openMP(int max_cores);
    // Checks GPU iDev and selects it. Returns -1 for a number that names no
    // device, else the compute capability as 10*major + minor.
    static int Init_CUDA(int iDev);

    // ---- variants ------------------------------------------------------------
    // A name ending in 1 is the OpenMP twin of the sequential function (same
    // parameters, same bits): before Init_openMP it prints the not-initialised
    // message and writes nothing. A name ending in 2 runs on the GPU chosen by
    // Init_CUDA (or on the host emulation of a build without CUDA): the device
    // is reset, inputs are copied over, one kernel runs and the output is
    // copied back; a failed device allocation or upload prints a "cudaMalloc
    // error!" / "cudaMemcpy HtD error!" message and leaves X untouched.
    // GPU products use one fused multiply-add per term.

    // ---- vector operations ------------------------------------------------
    // Element-wise functions may work in place (X == an input).
    // Vout[i] = Vin[i]; Vin and Vout are the same array or do not overlap.
    static void CopyV(double* Vin, int nDim, double* Vout);
    // Sum, sum of squares, Euclidean norm (no scaling against overflow) and
    // scalar product, added in ascending index order; 0.0 for nDim <= 0.
    static double SumV(double* V, int nDim);
    static double SumVV(double* V, int nDim);
    static double SqrtVV(double* V, int nDim);
    static double DotVV(double* V1, double* V2, int nDim);
    static void MultiplyVS(double* V, int nDim, double S, double* X);
    static void MultiplyVS1(double* V, int nDim, double S, double* X);
    static void MultiplyVS2(double* V, int nDim, double S, double* X);
    static void AddVV(double* V1, double* V2, int nDim, double* X);
    static void AddVV1(double* V1, double* V2, int nDim, double* X);
    static void AddVV2(double* V1, double* V2, int nDim, double* X);
    static void SubstractVV(double* V1, double* V2, int nDim, double* X);
    static void SubstractVV1(double* V1, double* V2, int nDim, double* X);
    static void SubstractVV2(double* V1, double* V2, int nDim, double* X);
    // Packs V[i] with VI[i] == 1 into X[0..s-1]; X may be V.
    static void SelectV(double* V, int* VI, int nDim, double* X);
    // Writes into XI the ascending indices i with V[i] <, ==, > S for Cond
    // <0, 0, >0; returns their count. XI needs room for nDim entries.
    static int FindV(double* V, int nDim, double S, int Cond, int* XI);
    // Ascending Shell sort of a copy of V into X (X may be V).
    static void SortV(double* V, int nDim, double* X);
    // Permutation that sorts V ascending into XI; V is unchanged. Allocates
    // nDim doubles; on allocation failure prints a message, writes nothing.
    static void SortVI(double* V, int nDim, int* XI);
    static void ZeroV(double* V, int nDim);
    static void ZeroV1(double* V, int nDim);
    static void ZeroVI(int* VI, int nDim);
    static void ZeroVI1(int* VI, int nDim);
    static void OneVI(int* VI, int nDim);
    static void OneVI1(int* VI, int nDim);
    // Largest V[i] for i = iStart, iStart+step, ... <= iStop (step >= 1);
    // V[iStart] is always read. idMaxV returns its index in V.
    static double MaxV(double* V, int iStart, int iStop, int step);
    static int idMaxV(double* V, int iStart, int iStop, int step);
    static void TableMultiplyVV(double* V1, double* V2, int nDim, double* X);
    static void TableMultiplyVV1(double* V1, double* V2, int nDim, double* X);
    // X[i] = VI[i] != 0 ? next value of V2 : V1[i]; X may be V1.
    static void AssembleVV(double* V1, int* VI, int nDim, double* V2, double* X);
    // Outer product, X is nRows x nCols and must not overlap V1 or V2.
    static void CrossVV(double* V1, int nRows, double* V2, int nCols, double* X);
    static void CrossVV1(double* V1, int nRows, double* V2, int nCols, double* X);
    static void CrossVV2(double* V1, int nRows, double* V2, int nCols, double* X);

    // ---- matrix operations ------------------------------------------------
    // Products and transposes need an output that overlaps no input; the
    // scalar multiple, sum and difference may work in place.
    // X (nRowsM) = M (nRowsM x nRowsV) * V (nRowsV).
    static void MultiplyMV(double* M, int nRowsM, double* V, int nRowsV, double* X);
    static void MultiplyMV1(double* M, int nRowsM, double* V, int nRowsV, double* X);
    static void MultiplyMV2(double* M, int nRowsM, double* V, int nRowsV, double* X);
    // X (nColsM) = V (nColsV) * M (nColsV x nColsM).
    static void MultiplyVM(double* V, int nColsV, double* M, int nColsM, double* X);
    static void MultiplyVM1(double* V, int nColsV, double* M, int nColsM, double* X);
    static void MultiplyVM2(double* V, int nColsV, double* M, int nColsM, double* X);
    static void MultiplyMS(double* M, int nRows, int nCols, double S, double* X);
    static void MultiplyMS1(double* M, int nRows, int nCols, double S, double* X);
    static void MultiplyMS2(double* M, int nRows, int nCols, double S, double* X);
    static void AddMM(double* M1, double* M2, int nRows, int nCols, double* X);
    static void AddMM1(double* M1, double* M2, int nRows, int nCols, double* X);
    static void AddMM2(double* M1, double* M2, int nRows, int nCols, double* X);
    static void SubstractMM(double* M1, double* M2, int nRows, int nCols, double* X);
    static void SubstractMM1(double* M1, double* M2, int nRows, int nCols, double* X);
    static void SubstractMM2(double* M1, double* M2, int nRows, int nCols, double* X);
    // X (nCols x nRows) = transpose of M (nRows x nCols).
    static void TransposeM(double* M, int nRows, int nCols, double* X);
    static void TransposeM1(double* M, int nRows, int nCols, double* X);
    // Packs the rows and columns i with VI[i] == 1 of the nDim x nDim M.
    static void SelectMsq(double* M, int nDim, int* VI, double* X);
    // Adds the vDim x vDim blocks (b = mDim/vDim wide) of m into the blocks
    // VI[k] of the MDim x MDim matrix M; each (VI[k]+1)*b <= MDim.
    static void AggregateMMsq(double* m, int mDim, int* VI, int vDim, double* M, int MDim);

    // ---- linear systems A X = B (A nDim x nDim, B and X nDim) --------------
    // A and B are not changed. A singular system prints
    // "ERROR! Singular system!" and leaves X untouched (every solver). X may
    // be B. SolveLSE1 needs Init_openMP first and gives the same bits for any
    // thread count; it agrees with SolveLSE up to rounding. SolveLSE2 (GPU
    // Gauss-Jordan) and SolveLSE3 (GPU elimination, CPU back substitution).
    // SolveLSEauto uses SolveLSE for nDim < n1, SolveLSE2 for nDim < n2,
    // else SolveLSE3.
    static void SolveLSEauto(double* A, double* B, double* X, int nDim, int n1, int n2);
    static void SolveLSE(double* A, double* B, double* X, int nDim);
    static void SolveLSE1(double* A, double* B, double* X, int nDim);
    static void SolveLSE2(double* A, double* B, double* X, int nDim);
    static void SolveLSE3(double* A, double* B, double* X, int nDim);

    // X (nRows1 x nCols2) = M1 (nRows1 x nCols) * M2 (nCols x nCols2).
    static void MultiplyMM(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);
    static void MultiplyMM1(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);
    static void MultiplyMM2(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);

    // Inverse of M into iM (both nDim x nDim), Gauss-Jordan; iM may be M.
    // A singular M prints "ERROR! Singular system!" and leaves iM partly
    // transformed.
    static void InverseMsq(double* M, double* iM, int nDim);
    // Determinant of M by Gaussian elimination; M is not changed. Singular
    // (order >= 4): message and 0.0. nDim <= 0: 1.0.
    static double DeterminantMsq(double* M, int nDim);

    // ---- eigen-solvers (M is not changed) ---------------------------------
    // Outputs must not overlap M. nDim <= 0 does nothing. Work memory that
    // cannot be allocated is reported and the outputs are left untouched.
    // Every finite matrix returns: one whose largest magnitude lies outside
    // 2^-500..2^500 is solved scaled by a power of two, and the iterations
    // go on past their classic 30 steps per eigenvalue where needed (inputs
    // that converged within them keep their exact results). Only with NaN
    // or infinity among the elements read (order >= 2) can an iteration
    // fail: it then prints "NR run-time error..." and ends the process with
    // exit status 1 (unless Diagnostics::SetFatalExit(false), linalg_diag.h).
    //
    // Eigenvalues of a general matrix: real parts eV_r, imaginary parts eV_i
    // (nDim each), unsorted. A complex pair takes two neighbouring places
    // with equal real parts, the negative imaginary part first; a real
    // eigenvalue has a zero imaginary part.
    static void EigenUnSymmSystemMsq(double* M, int nDim, double* eV_r, double* eV_i);
    // Symmetric M: eigenvalues eV (descending) and orthonormal eigenvectors
    // in the columns of eM (nDim x nDim, column j belongs to eV[j]). Jacobi
    // reads the diagonal and upper triangle, the Householder-QL solver the
    // diagonal and lower triangle.
    static void EigenSymmSystemMsqJ(double* M, int nDim, double* eV, double* eM);
    static void EigenSymmSystemMsqH(double* M, int nDim, double* eV, double* eM);

    // ---- Mersenne Twister (one generator per process) ---------------------
    // MT19937; without a seeding call the first draw seeds it with 5489.
    // The integer draws are 32 bits wide on every platform: uint32_t and
    // int32_t stand for the 32-bit unsigned long / long of LLP64 systems.
    static void Init_MT();              // seed = current time in seconds
    static void Init_MT_by_array();     // key of ten rand() values seeded by the time
    static uint32_t MT_u32();           // 0 .. 2^32-1
    static int32_t MT_i31();            // 0 .. 2^31-1
    static double MT_d64();             // [0, 1]
    static double MT_d64_0();           // (0, 1]
    static double MT_d64_1();           // [0, 1)
    static double MT_d64_01();          // (0, 1)
    static double MT_d53_1();           // [0, 1), 53-bit resolution (two draws)
    // Normal deviate by Box-Muller: odd calls draw two values and return the
    // cosine value, even calls return the cached sine partner.
    static double MT_Gauss64(double mu, double sigma);
};

} // namespace LinearAlgebra

namespace ConsoleFunctions {

// Terminal control through ANSI sequences on standard output (written only
// when standard output is a terminal; standard output is flushed around each
// one). Keys are read from a terminal without echo and without Enter, its
// settings restored afterwards; from a pipe, standard input is read as it is.
class LINALG_API CRT {
public:
    static void clrscr();                     // clears the screen, cursor home
    // Cursor to zero-based column x, row y; a coordinate outside 0..32767
    // (the console's 16-bit range) moves nothing.
    static void gotoxy(int x, int y);
    static void SetTextDefault();             // attribute 7: light grey on black
    static void SetTextReverse();             // attribute 112: black on light grey
    // Attribute bColor*16 + fColor, each clamped to 0..15 (1 blue, 2 green,
    // 4 red, 8 bright).
    static void SetTextColor(int fColor, int bColor);
    // Cursor to (x1, y), then x2 - x1 + 1 blanks; the cursor stays after them.
    static void clrline(int x1, int x2, int y);
    // Waits for a key, drops further pending input, returns the key's first
    // byte (ESC for arrow and function keys); -1 at the end of input.
    static char keypressed();
    // "\nPress any key..." / "\nPress <Enter>...", wait, then exit(res) when
    // res != 0 (a res whose low 8 bits are 0 exits with 1).
    static void Press_and_Exit(int res);
    static void Enter_and_Exit(int res);
};

// One-byte writes to serial ports COM1..COM20. On POSIX, COMn is the device
// named by the environment variable LINALG_COMn, else /dev/ttyS(n-1). Each
// call opens the port (raw 8N1, no flow control), writes, and closes it.
class LINALG_API RS232 {
public:
    // 0 on success, -1 when the device is missing, refused or fails (or no
    // memory is left to reach it), -2 for a port number outside 1..20 or a
    // baud rate the port cannot take.
    static int SendByte(unsigned char dat, unsigned char port, unsigned int baudRate);
    static int SendChar(unsigned char dat, unsigned char port, unsigned int baudRate);  // dat, then 13
    // Progress byte at 9600 baud for step / nsteps: a six-stage bar with a
    // blinking head (returns the blink state to pass back next time), or a
    // percentage modulo 256 (returns 0).
    static int Wall_Ev1(int step, int nsteps, int blink, unsigned char port);
    static int Wall_Ev2(int step, int nsteps, int blink, unsigned char port);
};

} // namespace ConsoleFunctions

// ==== Error contract ==========================================================
//
// The library reports problems only by printing on standard output (printf;
// one load-time note goes to standard error); no function throws, returns
// an error code (except Init_openMP, Init_CUDA and the RS232 functions) or
// sets errno. linalg_diag.h adds the calling thread's status of the last
// call (Diagnostics::LastError; the error each message sets is listed in
// docs/errors.md), a handler that receives these texts instead, and
// switches for the fatal exit and the read below. Every message, word for
// word ("\n" is a line feed; %s and %d as in printf):
//
//  "ERROR! Singular system!"                                  no line feed
//     SolveLSE, SolveLSE1, SolveLSE2, SolveLSE3, SolveLSEauto, InverseMsq,
//     DeterminantMsq (orders >= 4 only). Afterwards X is untouched (the
//     solvers), iM is partly transformed (InverseMsq), the determinant is
//     0.0.
//  "\nERROR! OMP not initialized! Use LA::Init_openMP( max_threads )!\n"
//     every function whose name ends in 1 (the 15 OpenMP variants and
//     SolveLSE1) before Init_openMP(n >= 1) was called, even for sizes <= 0;
//     Init_openMP(n <= 0) before any count was recorded (returns -1).
//     Outputs untouched.
//  "\nWARNING! Init_openMP(%d): more threads than the OpenMP runtime can start; using %d!\n"
//     Init_openMP with a count above its bound (1024, or the processor
//     count when larger, never above OMP_THREAD_LIMIT); the bound is
//     recorded and 0 returned.
//  "ERROR! Not enough memory for %s (%zu bytes)!\n"
//     work memory that cannot be allocated, or a size that does not fit in
//     memory (then the byte count is SIZE_MAX). %s is one of
//       "the SolveLSE work matrix", "the SolveLSE1 work matrix",
//       "the InverseMsq work matrix", "the DeterminantMsq work matrix",
//       "SortVI", "SolveLSE3" (host copy), "EigenSymmSystemMsqJ", "jacobi",
//       "EigenSymmSystemMsqH", "EigenUnSymmSystemMsq".
//     Outputs untouched, nothing leaks; DeterminantMsq returns NaN.
//  "cudaMalloc error! %s\n", "cudaMemcpy HtD error! %s\n",
//  "cudaMemcpy DtH error! %s\n"   (%s: the CUDA runtime's error string)
//     the GPU functions (names ending in 2, SolveLSE2, SolveLSE3, SolveLSEauto
//     when it runs one of them) when device allocation, upload or download
//     fails, or a kernel launch fails (reported with the DtH message). X is
//     untouched after every one of them: nothing is downloaded after a
//     failed step. (The emulation reports its own host memory running out
//     as the runtime's "out of memory".)
//  "GPU=%d is not a valid Coprocessor Device!\n" then "\nPress <Enter>..."
//     Init_CUDA with a device number that names no device (on the host
//     emulation every number but 0). It then READS ONE CHARACTER FROM
//     STANDARD INPUT (blocks on a terminal; not after
//     Diagnostics::SetInteractive(false)) and returns -1.
//  "GPU=%d is not supported for double precision operations!\n"
//  "GPU compute capability (%d.%d) is lower than expected (2.0).\n"
//  then "\nPress <Enter>..."
//     Init_CUDA on a device of compute capability below 3.5; reads one
//     character from standard input, returns the capability (10*major +
//     minor) and does not select the device.
//  "NR run-time error...\n%s\n...now exiting to system...\n"
//     the eigen-solvers when an iteration fails, which only NaN or infinity
//     among the elements read can cause (every finite matrix returns); %s is
//     one of
//       "Too many iterations in routine jacobi",
//       "Too many iterations in tqli", "Too many iterations in hqr".
//     The process then ends with exit(1); the call does not return. After
//     Diagnostics::SetFatalExit(false) the message is
//     "NR run-time error...\n%s\n" and the call returns with NaN in every
//     output element.
//  "linalg: %s\n" on STANDARD ERROR, %s being
//       "LINALG_ISA=<value> ignored: unknown instruction set (sse2, avx2 or avx512)"
//       "LINALG_ISA=<value> ignored: CPU lacks AVX2" (or AVX-512F/DQ/BW/VL)
//     once, when the library is loaded, if the environment variable
//     LINALG_ISA names an instruction set that is unknown or that the
//     processor lacks; the default set is used instead (avx512_256, the
//     AVX-512 set on 256-bit tiles, is a known name as well).
//  "\nPress any key..." / "\nPress <Enter>..."   no line feed
//     CRT::Press_and_Exit / CRT::Enter_and_Exit (prompts, then a wait for
//     input). CRT::clrline prints blanks; the other CRT functions print ANSI
//     sequences when standard output is a terminal. RS232 prints nothing.
//
// Singularity thresholds. The solvers (CPU and GPU) and the inverse scale
// every row by a power of two so that its absolute sum lies in [0.5, 1),
// then call a pivot singular when the largest magnitude in the pivot column
// (rows k..n-1 of the partly eliminated matrix) is below 1e-12. So they
// refuse systems whose condition number is above about 1e12:
// [[1, 1], [1, 1 + 1e-13]] is refused,
// [[1, 1], [1, 1 + 1e-11]] is solved. A NaN pivot is not caught: NaN input
// gives NaN in X, without a message. DeterminantMsq does not scale rows
// (that would change the value), so its 1e-12 threshold is absolute: the
// determinant of 1e-13 times the 4 x 4 identity prints the message and
// returns 0.0; orders 1 to 3 use closed formulas and never test.
//
// Detecting a failure. Fill X with NaN before the call and check afterwards
// that every element is finite: every solver (SolveLSE, SolveLSE1,
// SolveLSE2, SolveLSE3, SolveLSEauto) and every GPU function leaves X
// untouched on every failure, with a message. Not detectable this way: a
// singular InverseMsq (check M * iM against the identity), a singular
// DeterminantMsq (0.0, as for an exactly singular matrix).
// SolveLSEauto fails as the solver it picks by the order: below n1 SolveLSE
// (singular or work-memory message), below n2 SolveLSE2, else SolveLSE3
// (singular message or a cuda... message; SolveLSE3 also the "SolveLSE3"
// host-copy message). The GPU branches eliminate with fused multiply-adds,
// so a matrix right at the 1e-12 threshold may be refused by one branch and
// solved by another.
//
// Threads. The library has no threads of its own. It takes two locks of its
// own, each held for a few instructions: work memory's spin lock (an atomic
// flag; a waiter yields the processor) over its one kept block, taken
// whenever a work block of 4 MB or more is allocated or freed (the work
// matrices of the solvers, inverse and determinant from about order 720 up,
// and any other work block of that size), around every fork() of the
// process (an atfork handler, so a child never inherits it held) and once
// at unload; and a mutex of the GPU emulation over its pool of fiber
// stacks. Besides these, only what the runtime locks: the C library's lock
// of a stream while a message is printed, the one-time guards of static
// initialisation, and the OpenMP runtime's own synchronisation. The message
// handler and switches of linalg_diag.h are atomics.
//  * May run concurrently with anything on disjoint arrays: the sequential
//    vector and matrix operations (SortVI included), SolveLSE, InverseMsq,
//    DeterminantMsq, the three eigen-solvers.
//  * OpenMP variants and SolveLSE1: concurrently with each other and with the
//    above once Init_openMP has returned; each call forks its own team.
//    Init_openMP must not run while any of them runs (it writes the thread
//    count they read). After fork(), a child process must not call them once
//    the parent has run one (the OpenMP runtime's threads do not survive
//    fork(): the call hangs); exec first or use the sequential functions.
//  * Not thread-safe, callers serialise: Init_openMP; Init_MT,
//    Init_MT_by_array and the MT_ draws (one generator per process);
//    Init_CUDA and every GPU function (each resets the device at start and
//    end: two GPU calls must never overlap); the CRT functions (standard
//    output, terminal settings); the RS232 functions on one port.

#endif // LINALG_H
