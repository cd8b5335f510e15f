/// \file linalg_diag.h
/// \brief Diagnostics of liblinalg for programs that embed it: the outcome of
/// the last call, where messages go, and whether the library may end the
/// process or read standard input.
///
/// Nothing here is needed to use linalg.h, and nothing changes until a
/// program calls one of the setters: by default every message is printed on
/// standard output exactly as docs/errors.md (the error contract) lists it,
/// the eigen-solvers end the process on a failed iteration and Init_CUDA
/// waits for Enter after rejecting a device.
///
/// \par Status
/// Every exported function that can fail records its outcome for the calling
/// thread: Error::None when it succeeds, else the failure. LastError() returns
/// the outcome of the calling thread's most recent call of such a function;
/// the other functions (the sequential arithmetic, the random generator, the
/// CRT screen functions) leave it as it was. The status is a thread-local
/// value: a call made in one thread never changes what LastError() returns in
/// another. A call stores Error::None on entry and, when it fails, the error
/// at the moment it reports the failure, before the message is handed over
/// (so a message handler may call LastError()). When one call meets two
/// failures the later one stays.
///
/// \par Functions and the errors they can set
/// | Function | Errors |
/// |---|---|
/// | SolveLSE | Singular, NoMemory |
/// | SolveLSE1 | NotInitialized, Singular, NoMemory |
/// | SolveLSE2 | Singular, NoMemory, Device |
/// | SolveLSE3 | Singular, NoMemory, Device |
/// | SolveLSEauto | as the solver it runs (SolveLSE, SolveLSE2 or SolveLSE3) |
/// | InverseMsq | Singular, NoMemory |
/// | DeterminantMsq | Singular (also for orders 1 to 3 whose determinant is exactly 0, without a message), NoMemory |
/// | SortVI | NoMemory |
/// | EigenSymmSystemMsqJ, EigenSymmSystemMsqH, EigenUnSymmSystemMsq | NoMemory, NonFinite, NotConverged |
/// | Init_openMP | NotInitialized (returns -1) |
/// | the 15 OpenMP variants (names ending in 1) | NotInitialized |
/// | the 10 GPU variants (names ending in 2) | NoMemory, Device |
/// | Init_CUDA | NoDevice (returns -1), Device (capability below 3.5) |
/// | RS232::SendByte, SendChar, Wall_Ev1, Wall_Ev2 | Io (the port could not be reached or written, or its number or baud rate is invalid) |
/// | CRT::keypressed | Io (end of input or a read error; returns -1) |
///
/// The error of each message is listed in docs/errors.md. The GPU functions
/// set NoMemory when the device (or the emulation) runs out of memory, Device
/// for every other failure of the CUDA runtime. The eigen-solvers set
/// NonFinite whenever an element they read is NaN or infinite (whether or not
/// the iteration then fails) and NotConverged when an iteration on finite
/// elements fails.
///
/// \par Threads and locks
/// The message handler and the two switches are process-wide; they may be set
/// from any thread at any time (they are atomics; the handler and its user
/// pointer change together, and setting them never blocks on a lock). The
/// handler may be called from several threads at once, one call per message,
/// in the thread that made the failing call; it must be thread-safe if the
/// program calls the library from several threads. A message being handed
/// over while another thread replaces the handler may still reach the old
/// one, so keep its user data alive until the calls in flight have returned.
/// The library's own locks: work memory takes a spin lock (an atomic flag; a
/// waiter yields the processor) over the one block it keeps for reuse when a
/// work block of 4 MB or more is allocated or freed, around every fork() of
/// the process and once at unload; the GPU emulation guards its pool of
/// fiber stacks with a mutex.
/// Besides these only the runtime locks: the C library's stream lock while a
/// message is printed, the one-time guards of static initialisation and the
/// OpenMP runtime's synchronisation.
#ifndef LINALG_DIAG_H
#define LINALG_DIAG_H

/// \def LINALG_DIAG_API
/// \brief Marks LinearAlgebra::Diagnostics as exported from the shared library.
#if defined(_WIN32)
#if defined(LINALG_BUILDING_DLL)
#define LINALG_DIAG_API __declspec(dllexport)
#elif defined(LINALG_STATIC)
#define LINALG_DIAG_API
#else
#define LINALG_DIAG_API __declspec(dllimport)
#endif
#else
#define LINALG_DIAG_API __attribute__((visibility("default")))
#endif

namespace LinearAlgebra {

/// \brief Outcome of a call, as LastError() reports it.
enum class Error : int {
    None = 0,        ///< the call succeeded
    Singular,        ///< a pivot below the singularity threshold: "ERROR! Singular system!"
    NoMemory,        ///< work or device memory could not be allocated
    NotConverged,    ///< an eigen-solver's iteration failed on finite elements
    NonFinite,       ///< an eigen-solver read NaN or infinity
    NotInitialized,  ///< an OpenMP function before Init_openMP
    NoDevice,        ///< Init_CUDA with a number that names no GPU
    Device,          ///< the GPU or the CUDA runtime failed, or the GPU is unsuitable
    Io               ///< a serial port or standard input could not be used
};

/// \brief Status, message routing and run-time facts of the library.
///
/// All members are static; the class is never instantiated.
class LINALG_DIAG_API Diagnostics {
public:
    /// \brief Outcome of the calling thread's most recent call of a function
    /// that can fail (see the table in the file description).
    /// \return Error::None before any such call in this thread.
    static Error LastError();

    /// \brief Short lower-case name of an error.
    /// \param error the error to name
    /// \return the name: "none", "singular", "no memory", "not converged",
    ///         "non-finite", "not initialized", "no device", "device" or
    ///         "io"; "unknown" for a value outside the enumeration. Never
    ///         nullptr.
    static const char* ErrorName(Error error);

    /// \brief Routes every text the library prints to a function of the
    /// program.
    /// \param handler called once per message with the exact bytes the
    ///        default would print (NUL-terminated; a message without a line
    ///        feed is passed without one) and \p user; nothing is then
    ///        written to standard output or standard error. nullptr restores
    ///        printing.
    /// \param user passed unchanged to \p handler.
    ///
    /// The handler may be called from several threads at once and must not
    /// call back into the library's functions that can fail (LastError() is
    /// fine). Texts covered: every message of the error contract, the
    /// Init_CUDA prompt, the CRT prompts and the load-time LINALG_ISA note (a
    /// handler can only see that one if it is set before the library is
    /// loaded, which it cannot be). The CRT screen functions' control
    /// sequences and blanks still go to the terminal.
    static void SetMessageHandler(void (*handler)(const char* text, void* user), void* user);

    /// \brief Whether a failed eigen-solver iteration ends the process.
    /// \param on true (the default): the message
    ///        `"NR run-time error...\n%s\n...now exiting to system...\n"`, then
    ///        exit(1). false: the message is `"NR run-time error...\n%s\n"`
    ///        (%s the reason), the solver frees its work
    ///        memory and returns with every output element NaN, and
    ///        LastError() is NonFinite or NotConverged.
    ///
    /// With false, an eigen-solver that reads NaN or infinity also returns
    /// all-NaN outputs when its iteration happens to finish.
    static void SetFatalExit(bool on);

    /// \brief Whether Init_CUDA waits for Enter after rejecting a device.
    /// \param on true (the default): it prints `"\nPress <Enter>..."` and
    ///        reads one character from standard input. false: it prints the
    ///        same lines and returns at once, reading nothing. The CRT
    ///        functions, whose purpose is to wait for input, are not affected.
    static void SetInteractive(bool on);

    /// \brief Version of the loaded library.
    /// \return the version as "MAJOR.MINOR.PATCH", equal to
    ///         LINALG_VERSION_STRING of the headers it was built with.
    static const char* Version();

    /// \brief Instruction set of the CPU kernel table in use.
    /// \return the name of the set, "sse2", "avx2", "avx512" or "avx512_256"
    ///         (the AVX-512 set on 256-bit tiles, the default on processors
    ///         that execute 512-bit operations as two halves): the default
    ///         set of the processor, or the one the environment variable
    ///         LINALG_ISA named when the library was loaded.
    static const char* InstructionSet();

    /// \brief Hands a message of a companion library to the message path and
    /// sets the calling thread's status.
    /// \param error stored as the calling thread's LastError() first
    /// \param text the message, passed to the handler exactly like the
    ///        library's own (or printed on standard output and flushed when no
    ///        handler is set); nullptr sets the status only.
    ///
    /// Meant for libraries built on this one (such as a distributed
    /// companion), so that their messages and status reach the program the
    /// same way.
    static void Report(Error error, const char* text);
};

} // namespace LinearAlgebra

#endif // LINALG_DIAG_H
