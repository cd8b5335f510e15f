// Messages and call status: every text the library prints passes through
// emit(), and every exported function that can fail records its outcome for
// the calling thread here.
//
// emit() hands the formatted text to the program's handler when one is set
// (LinearAlgebra::Diagnostics::SetMessageHandler), else prints it exactly as
// printf/fprintf would, on the stream named, flushing afterwards where asked.
// The default path is the plain vfprintf, so what reaches a terminal, pipe or
// file is unchanged byte for byte.
//
// Status: an exported function calls clear_status() on entry (one
// thread-local store) and a failure is recorded with set_status() (or
// report()) where it is reported. The variable is a C-style __thread int:
// constant-initialised and trivially destructible, so access needs no TLS
// wrapper and no destructor is registered per thread.
#ifndef LINALG_BASE_MESSAGE_H
#define LINALG_BASE_MESSAGE_H

#include "linalg_diag.h"

namespace linalg {

using LinearAlgebra::Error;

extern __thread int tls_status;

inline void set_status(Error e) { tls_status = static_cast<int>(e); }
inline void clear_status() { tls_status = 0; }
inline Error last_status() { return static_cast<Error>(tls_status); }

// Where the default path prints.
enum class Out {
    out,          // standard output, left in its buffer
    out_flushed,  // standard output, then fflush(stdout)
    err           // standard error (unbuffered)
};

// Formats like printf and hands the text over (see above).
// MinGW-w64's C++ runtime prints through its own C99 printf family, which
// knows %zu; GCC checks that family as gnu_printf (printf there is MSVCRT's).
#if defined(__MINGW32__)
#define LINALG_PRINTF_LIKE(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define LINALG_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#endif
void emit(Out where, const char* format, ...) LINALG_PRINTF_LIKE(2, 3);

// set_status(e), then emit(where, format, ...).
void report(Error e, Out where, const char* format, ...) LINALG_PRINTF_LIKE(3, 4);

// The switches of Diagnostics (both true unless the program turned them off).
bool fatal_exit_enabled();
bool interactive();

// The setters behind Diagnostics; safe from any thread.
void set_handler(void (*fn)(const char* text, void* user), void* user);
void set_fatal_exit(bool on);
void set_interactive(bool on);

} // namespace linalg

#endif
