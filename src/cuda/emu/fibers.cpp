// POSIX fibers of the emulation's launcher: ucontext on pooled mmap stacks
// (Windows: fibers_win.cpp).
#include "cuda/emu/fibers.h"

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define LINALG_EMU_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LINALG_EMU_ASAN 1
#endif
#endif
#if defined(LINALG_EMU_ASAN)
#include <sanitizer/common_interface_defs.h>
#endif

namespace linalg {
namespace emu {

namespace {

// Stack of one fiber. AddressSanitizer's frames are several times larger
// (red zones around every local), so its builds get more.
#if defined(LINALG_EMU_ASAN)
constexpr std::size_t kStackBytes = 256 * 1024;
#else
constexpr std::size_t kStackBytes = 64 * 1024;
#endif

// Fiber stacks, each with an inaccessible guard page below it, so an
// overflow faults at once instead of overwriting other memory. Stacks are
// kept in a process-wide pool for reuse across launches (a pool rather than
// a thread_local cache: a thread_local with a destructor registers it with
// the C library on first use, which can fail and abort when memory is
// short). The pool's table is fixed, so taking and returning never
// allocates; a stack that does not fit into it is unmapped.
class StackPool {
public:
    // A stack's lowest usable address, or nullptr when no memory is left.
    char* take(bool (*may_allocate)()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (count_ > 0) return free_[--count_];
        }
        if (!may_allocate()) return nullptr;
        const std::size_t guard = page();
        void* p = mmap(nullptr, guard + kStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                       -1, 0);
        if (p == MAP_FAILED) return nullptr;
        if (mprotect(p, guard, PROT_NONE) != 0) {
            munmap(p, guard + kStackBytes);
            return nullptr;
        }
        return static_cast<char*>(p) + guard;
    }
    void give_back(char* stack) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (count_ < kSlots) {
                free_[count_++] = stack;
                return;
            }
        }
        unmap(stack);
    }
    void drain() {
        std::lock_guard<std::mutex> lock(mutex_);
        while (count_ > 0) unmap(free_[--count_]);
    }
    ~StackPool() { drain(); }

private:
    static std::size_t page() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }
    static void unmap(char* stack) { munmap(stack - page(), page() + kStackBytes); }
    static constexpr std::size_t kSlots = 1024;
    std::mutex mutex_;
    char* free_[kSlots] = {};
    std::size_t count_ = 0;
};

StackPool g_stacks;

// AddressSanitizer must be told about every stack switch.
#if defined(LINALG_EMU_ASAN)
void switch_begin(void** fake, const void* bottom, std::size_t size) { __sanitizer_start_switch_fiber(fake, bottom, size); }
void switch_end(void* fake, const void** bottom, std::size_t* size) { __sanitizer_finish_switch_fiber(fake, bottom, size); }
#else
void switch_begin(void**, const void*, std::size_t) {}
void switch_end(void*, const void**, std::size_t*) {}
#endif

} // namespace

struct Fibers::State {
    Entry entry;
    // Value-initialised: the sanitizer's swapcontext reads uc_stack of the
    // context it switches to, and swapcontext never sets it.
    ucontext_t scheduler{};
    std::vector<ucontext_t> fibers;
    std::vector<char*> stacks;  // taken from the pool, returned at the end
    const void* scheduler_stack = nullptr;  // for the sanitizer's switch notes
    std::size_t scheduler_stack_size = 0;
};

namespace {

thread_local Fibers::State* t_state = nullptr;

void fiber_main() {
    Fibers::State& s = *t_state;
    switch_end(nullptr, &s.scheduler_stack, &s.scheduler_stack_size);
    s.entry();
    switch_begin(nullptr, s.scheduler_stack, s.scheduler_stack_size);
    // returning resumes the scheduler (uc_link)
}

} // namespace

Fibers::Fibers(unsigned count, Entry entry, bool (*may_allocate)())
    : entry_(entry), may_allocate_(may_allocate), count_(count) {}

Fibers::~Fibers() {
    if (!s_) return;
    for (char* stack : s_->stacks) g_stacks.give_back(stack);
    delete s_;
}

void Fibers::start(unsigned t) {
    if (!s_) {
        s_ = new State;
        s_->entry = entry_;
        // Sized once: a suspended context must not move (it points into itself).
        s_->fibers.resize(count_);
    }
    State& s = *s_;
    while (s.stacks.size() <= t) {
        s.stacks.reserve(count_);
        char* stack = g_stacks.take(may_allocate_);
        if (!stack) throw std::bad_alloc();
        s.stacks.push_back(stack);  // capacity reserved: cannot throw and lose the stack
    }
    ucontext_t& uc = s.fibers[t];
    getcontext(&uc);
    uc.uc_stack.ss_sp = s.stacks[t];
    uc.uc_stack.ss_size = kStackBytes;
    uc.uc_link = &s.scheduler;
    makecontext(&uc, fiber_main, 0);
}

void Fibers::resume(unsigned t) {
    State& s = *s_;
    State* const outer = t_state;
    t_state = &s;
    void* fake = nullptr;
    switch_begin(&fake, s.stacks[t], kStackBytes);
    swapcontext(&s.scheduler, &s.fibers[t]);
    switch_end(fake, nullptr, nullptr);
    t_state = outer;
}

void Fibers::yield(unsigned t) {
    State& s = *s_;
    void* fake = nullptr;
    switch_begin(&fake, s.scheduler_stack, s.scheduler_stack_size);
    swapcontext(&s.fibers[t], &s.scheduler);
    switch_end(fake, &s.scheduler_stack, &s.scheduler_stack_size);
}

void Fibers::drain_pool() { g_stacks.drain(); }

} // namespace emu
} // namespace linalg
