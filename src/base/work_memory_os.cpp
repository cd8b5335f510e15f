// POSIX large work blocks: aligned to 2 MB and offered to the kernel for
// transparent huge pages (see work_memory.cpp); Windows: work_memory_os_win.cpp.
#include "base/work_memory_os.h"

#include <cstdint>
#include <cstdlib>

#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>

namespace linalg {

void* large_block_alloc(std::size_t size) {
    void* p = std::aligned_alloc(kHugePage, size);
#ifdef MADV_HUGEPAGE
    // Where huge pages are off, madvise fails quietly and the block is an
    // ordinary one.
    if (p) madvise(p, size, MADV_HUGEPAGE);
#endif
    return p;
}

// Large blocks are the 2 MB aligned ones; malloc and aligned_alloc blocks
// share free and malloc_usable_size.
std::size_t large_block_size(void* p) {
    if (reinterpret_cast<std::uintptr_t>(p) % kHugePage != 0) return 0;
    return malloc_usable_size(p);
}

void large_block_free(void* p) { std::free(p); }

void guard_lock_across_fork(void (*lock)(), void (*unlock)()) { pthread_atfork(lock, unlock, unlock); }

} // namespace linalg
