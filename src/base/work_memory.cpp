#include "base/work_memory.h"
#include "base/work_memory_os.h"

#include "base/message.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace linalg {

namespace {
std::atomic<long long> fail_at{0};
std::atomic<long long> calls{0};
std::atomic<long long> held{0};
// Blocks of 4 MB and more (the solvers' work matrices, the product's packed
// slices) are aligned to 2 MB and offered to the kernel for transparent huge
// pages: a fresh 32 MB matrix then costs 16 page faults instead of 8192, and
// the eliminations' strided row walks miss the TLB far less. The platform
// file (work_memory_os.h) allocates them.

// One such block, of at most kKeepMax bytes, is kept after work_free for the
// next large request: a program that solves, inverts or finds eigenvalues in
// a loop then reuses the memory instead of having the kernel fault in and
// zero fresh pages on every call (and possibly first compact memory for
// huge pages). The kept block is freed when the library's static objects
// are destroyed. AddressSanitizer builds keep nothing, so that a use after
// free stays visible to it.
constexpr std::size_t kKeepMax = std::size_t{128} << 20;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeep = false;
#else
constexpr bool kKeep = true;
#endif

// The kept block, its size and its lock are plain constant-initialised data
// with nothing to destroy, so they stay usable to the very end of the
// process: in atexit handlers and in the destructors of global objects,
// whichever runs before or after the library's own static objects. The
// owner below frees the block when the library's static objects are
// destroyed and closes the store; later calls allocate and free afresh.
std::atomic_flag kept_lock = ATOMIC_FLAG_INIT;
void* kept_block = nullptr;
std::size_t kept_size = 0;  // usable bytes
bool kept_closed = false;

void lock_kept() {
    while (kept_lock.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
}
void unlock_kept() { kept_lock.clear(std::memory_order_release); }

struct KeptGuard {
    KeptGuard() { lock_kept(); }
    ~KeptGuard() { unlock_kept(); }
    KeptGuard(const KeptGuard&) = delete;
    KeptGuard& operator=(const KeptGuard&) = delete;
};

// Constructed when the library is loaded, so destroyed after every static
// object and atexit handler of the programs and libraries loaded after it.
// fork takes the lock first and both processes release it, so a child never
// starts with the lock held by a thread it does not have.
struct KeptOwner {
    KeptOwner() {
        if (kKeep) guard_lock_across_fork(lock_kept, unlock_kept);
    }
    ~KeptOwner() {
        void* p;
        {
            KeptGuard guard;
            p = kept_block;
            kept_block = nullptr;
            kept_size = 0;
            kept_closed = true;
        }
        if (p) large_block_free(p);
    }
    KeptOwner(const KeptOwner&) = delete;
    KeptOwner& operator=(const KeptOwner&) = delete;
};
KeptOwner kept_owner;

// The kept block if it holds `bytes`, else nullptr.
void* take_kept(std::size_t bytes) {
    if (!kKeep) return nullptr;
    KeptGuard guard;
    if (!kept_block || kept_size < bytes) return nullptr;
    void* p = kept_block;
    kept_block = nullptr;
    return p;
}

// Keeps p if it is a large block of `size` usable bytes within kKeepMax,
// freeing the block kept before; returns false if p is not kept (always
// once the store is closed).
bool keep(void* p, std::size_t size) {
    if (!kKeep || size < kHugeBlock || size > kKeepMax) return false;
    void* old;
    {
        KeptGuard guard;
        if (kept_closed) return false;
        old = kept_block;
        kept_block = p;
        kept_size = size;
    }
    if (old) large_block_free(old);
    return true;
}
} // namespace

void* work_alloc(std::size_t bytes) {
    const long long n = ++calls;
    const long long k = fail_at.load();
    if (k > 0 && n == k) return nullptr;
    if (bytes == 0) bytes = 1;
    void* p;
    if (bytes >= kHugeBlock) {
        const std::size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        p = take_kept(bytes);
        if (!p) {
            p = size >= bytes ? large_block_alloc(size) : nullptr;
        }
    } else {
        p = std::malloc(bytes);
    }
    if (p) ++held;
    return p;
}

void work_free(void* p) {
    if (!p) return;
    --held;
    const std::size_t large = large_block_size(p);
    if (large == 0) {
        std::free(p);
    } else if (!keep(p, large)) {
        large_block_free(p);
    }
}

std::size_t work_bytes(long long rows, long long cols, std::size_t elem) {
    if (rows < 0 || cols < 0) return 0;
    const unsigned long long r = static_cast<unsigned long long>(rows);
    const unsigned long long c = static_cast<unsigned long long>(cols);
    if (c != 0 && r > SIZE_MAX / c) return 0;
    const unsigned long long n = r * c;
    if (elem != 0 && n > SIZE_MAX / elem) return 0;
    return static_cast<std::size_t>(n * elem);
}

void report_no_memory(const char* who, std::size_t bytes) {
    report(Error::NoMemory, Out::out_flushed, "ERROR! Not enough memory for %s (%zu bytes)!\n", who, bytes);
}

namespace testhooks {
void fail_alloc_at(long long k) {
    calls = 0;
    fail_at = k;
}
long long alloc_calls() { return calls.load(); }
long long blocks_held() { return held.load(); }
void reset_alloc_counters() {
    calls = 0;
    fail_at = 0;
}
} // namespace testhooks

} // namespace linalg
