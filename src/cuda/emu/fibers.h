// Fibers for the emulation's kernel launcher: the threads of one block run
// on the launching thread, each on its own stack, switching at barriers.
// POSIX: ucontext (fibers.cpp); Windows: Windows fibers (fibers_win.cpp).
#ifndef LINALG_CUDA_EMU_FIBERS_H
#define LINALG_CUDA_EMU_FIBERS_H

#include <cstddef>

namespace linalg {
namespace emu {

// The fibers of one launch, numbered 0 .. count-1. Each starts at `entry`
// (which reads what it needs from the launcher's thread-local state) and
// ends by returning from it. Stacks come from a process-wide pool and go
// back to it when the launch's Fibers is destroyed.
class Fibers {
public:
    using Entry = void (*)();
    // count: the most fibers the launch will start. may_allocate is asked
    // before a new stack is made (the emulation's fault injection) and may
    // refuse it.
    Fibers(unsigned count, Entry entry, bool (*may_allocate)());
    ~Fibers();
    Fibers(const Fibers&) = delete;
    Fibers& operator=(const Fibers&) = delete;

    // Makes fiber t start afresh at `entry` on its next resume; throws
    // std::bad_alloc when no stack can be had.
    void start(unsigned t);
    // Runs fiber t until it yields or returns from `entry`.
    void resume(unsigned t);
    // Called on running fiber t: back to the resume that started it.
    void yield(unsigned t);

    // Frees the pooled stacks (test hooks, and at exit).
    static void drain_pool();

    struct State;  // the platform's part, made at the first start

private:
    Entry entry_;
    bool (*may_allocate_)();
    unsigned count_;
    State* s_ = nullptr;
};

} // namespace emu
} // namespace linalg

#endif
