// Windows large work blocks (POSIX: work_memory_os.cpp): committed pages of
// their own from VirtualAlloc, 64 KB aligned and zero-filled by the system,
// told apart from heap blocks by being the base of their own allocation.
#include "base/work_memory_os.h"

#include <windows.h>

namespace linalg {

void* large_block_alloc(std::size_t size) {
    return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

// A heap block never starts at the base of a region: the heap's own header
// lies before it.
std::size_t large_block_size(void* p) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(p, &info, sizeof info) != sizeof info) return 0;
    if (info.AllocationBase != p || info.State != MEM_COMMIT || info.Type != MEM_PRIVATE) return 0;
    return info.RegionSize;
}

void large_block_free(void* p) { VirtualFree(p, 0, MEM_RELEASE); }

void guard_lock_across_fork(void (*)(), void (*)()) {}

} // namespace linalg
