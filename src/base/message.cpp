#include "base/message.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace linalg {

__thread int tls_status = 0;

namespace {

using Handler = void (*)(const char*, void*);

// The handler and its user pointer under a sequence lock: a setter makes the
// count odd, stores both and makes it even again; a reader retries until it
// has read both under one even count. Readers never wait on a setter's
// lock (there is none), and setters only spin against each other.
std::atomic<unsigned> handler_seq{0};
std::atomic<Handler> handler_fn{nullptr};
std::atomic<void*> handler_user{nullptr};

std::atomic<bool> fatal_exit{true};
std::atomic<bool> interactive_mode{true};

bool current_handler(Handler* fn, void** user) {
    for (;;) {
        const unsigned s = handler_seq.load(std::memory_order_acquire);
        if (s & 1u) continue;
        const Handler f = handler_fn.load(std::memory_order_relaxed);
        void* const u = handler_user.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (handler_seq.load(std::memory_order_relaxed) != s) continue;
        *fn = f;
        *user = u;
        return f != nullptr;
    }
}

// The text as the default would print it, handed to fn. Short texts are
// formatted on the stack; a longer one on the heap (or cut to the stack
// buffer if the heap refuses).
void deliver(Handler fn, void* user, const char* format, va_list ap) {
    char local[512];
    va_list again;
    va_copy(again, ap);
    const int len = std::vsnprintf(local, sizeof local, format, ap);
    if (len < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(len) < sizeof local) {
        va_end(again);
        fn(local, user);
        return;
    }
    char* big = static_cast<char*>(std::malloc(static_cast<std::size_t>(len) + 1));
    if (big) std::vsnprintf(big, static_cast<std::size_t>(len) + 1, format, again);
    va_end(again);
    fn(big ? big : local, user);
    std::free(big);
}

void vemit(Out where, const char* format, va_list ap) {
    Handler fn;
    void* user;
    if (current_handler(&fn, &user)) {
        deliver(fn, user, format, ap);
        return;
    }
    std::vfprintf(where == Out::err ? stderr : stdout, format, ap);
    if (where == Out::out_flushed) std::fflush(stdout);
}

} // namespace

void emit(Out where, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vemit(where, format, ap);
    va_end(ap);
}

void report(Error e, Out where, const char* format, ...) {
    set_status(e);
    va_list ap;
    va_start(ap, format);
    vemit(where, format, ap);
    va_end(ap);
}

bool fatal_exit_enabled() { return fatal_exit.load(std::memory_order_relaxed); }
bool interactive() { return interactive_mode.load(std::memory_order_relaxed); }

void set_handler(Handler fn, void* user) {
    unsigned s = handler_seq.load(std::memory_order_relaxed);
    for (;;) {
        if (s & 1u) {
            s = handler_seq.load(std::memory_order_relaxed);
            continue;
        }
        if (handler_seq.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed)) break;
    }
    std::atomic_thread_fence(std::memory_order_release);
    handler_fn.store(fn, std::memory_order_relaxed);
    handler_user.store(user, std::memory_order_relaxed);
    handler_seq.store(s + 2, std::memory_order_release);
}

void set_fatal_exit(bool on) { fatal_exit.store(on, std::memory_order_relaxed); }
void set_interactive(bool on) { interactive_mode.store(on, std::memory_order_relaxed); }

} // namespace linalg
