// The platform's part of work memory (work_memory.cpp): large blocks, which
// POSIX aligns to huge pages (work_memory_os.cpp) and Windows takes straight
// from the virtual memory manager (work_memory_os_win.cpp). Small blocks are
// malloc/free on every platform.
#ifndef LINALG_BASE_WORK_MEMORY_OS_H
#define LINALG_BASE_WORK_MEMORY_OS_H

#include <cstddef>

namespace linalg {

// Huge-page size and the smallest block that is handed out as a large one.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeBlock = std::size_t{4} << 20;

// A block of `size` bytes (a multiple of kHugePage), or nullptr.
void* large_block_alloc(std::size_t size);
// Usable bytes of p when it came from large_block_alloc, else 0 (p is then a
// malloc block).
std::size_t large_block_size(void* p);
// Frees a block from large_block_alloc.
void large_block_free(void* p);

// Where processes fork: lock() is called before a fork, unlock() after it in
// both processes, so a child never starts with the lock held by a thread it
// does not have. Windows has no fork and ignores it.
void guard_lock_across_fork(void (*lock)(), void (*unlock)());

} // namespace linalg

#endif
