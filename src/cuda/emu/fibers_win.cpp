// Windows fibers of the emulation's launcher (POSIX: fibers.cpp). The
// launching thread becomes a fiber for the launch (unless it already is
// one). A Windows fiber may not return from its start routine, so each one
// loops: it runs the entry, switches back, and on its next resume runs the
// entry again. Fibers that finished their entry are kept in a process-wide
// pool for reuse across launches; one abandoned in the middle of its entry
// (a failed launch) is deleted.
#include "cuda/emu/fibers.h"

#include <mutex>
#include <new>
#include <vector>

#include <windows.h>

namespace linalg {
namespace emu {

namespace {

// Stack reserved for one fiber; pages are committed as it grows.
constexpr SIZE_T kStackBytes = 256 * 1024;

struct Slot {
    LPVOID fiber = nullptr;
    LPVOID scheduler = nullptr;  // the fiber that resumed this one
    Fibers::Entry entry = nullptr;
    bool idle = true;  // between entries (fresh, or the entry returned)
};

void WINAPI fiber_main(LPVOID param) {
    Slot& slot = *static_cast<Slot*>(param);
    for (;;) {
        slot.idle = false;
        slot.entry();
        slot.idle = true;
        SwitchToFiber(slot.scheduler);
    }
}

class SlotPool {
public:
    // An idle slot with its fiber, or nullptr when no memory is left.
    Slot* take(bool (*may_allocate)()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (count_ > 0) return free_[--count_];
        }
        if (!may_allocate()) return nullptr;
        Slot* slot = new (std::nothrow) Slot;
        if (!slot) return nullptr;
        slot->fiber = CreateFiberEx(0, kStackBytes, FIBER_FLAG_FLOAT_SWITCH, fiber_main, slot);
        if (!slot->fiber) {
            delete slot;
            return nullptr;
        }
        return slot;
    }
    void give_back(Slot* slot) {
        if (slot->idle) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (count_ < kSlots) {
                free_[count_++] = slot;
                return;
            }
        }
        destroy(slot);
    }
    void drain() {
        std::lock_guard<std::mutex> lock(mutex_);
        while (count_ > 0) destroy(free_[--count_]);
    }
    ~SlotPool() { drain(); }

private:
    static void destroy(Slot* slot) {
        DeleteFiber(slot->fiber);
        delete slot;
    }
    static constexpr std::size_t kSlots = 1024;
    std::mutex mutex_;
    Slot* free_[kSlots] = {};
    std::size_t count_ = 0;
};

SlotPool g_slots;

// The running fiber. GetCurrentFiber reads the thread block through gs:,
// which GCC 12 takes for an access to address 0x20 and warns about.
LPVOID current_fiber() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    return GetCurrentFiber();
#pragma GCC diagnostic pop
}

} // namespace

struct Fibers::State {
    std::vector<Slot*> slots;  // by fiber number, taken from the pool
    LPVOID self = nullptr;     // the launching thread as a fiber
    bool converted = false;    // it was made one for this launch
};

Fibers::Fibers(unsigned count, Entry entry, bool (*may_allocate)())
    : entry_(entry), may_allocate_(may_allocate), count_(count) {}

Fibers::~Fibers() {
    if (!s_) return;
    for (Slot* slot : s_->slots)
        if (slot) g_slots.give_back(slot);
    if (s_->converted) ConvertFiberToThread();
    delete s_;
}

void Fibers::start(unsigned t) {
    if (!s_) {
        State* s = new State;
        s->slots.assign(count_, nullptr);
        if (IsThreadAFiber()) {
            s->self = current_fiber();
        } else {
            s->self = ConvertThreadToFiberEx(nullptr, FIBER_FLAG_FLOAT_SWITCH);
            s->converted = s->self != nullptr;
        }
        s_ = s;
        if (!s->self) throw std::bad_alloc();
    }
    Slot*& slot = s_->slots[t];
    if (!slot) {
        slot = g_slots.take(may_allocate_);
        if (!slot) throw std::bad_alloc();
    }
    slot->entry = entry_;
    slot->scheduler = s_->self;
}

void Fibers::resume(unsigned t) { SwitchToFiber(s_->slots[t]->fiber); }

void Fibers::yield(unsigned t) { SwitchToFiber(s_->slots[t]->scheduler); }

void Fibers::drain_pool() { g_slots.drain(); }

} // namespace emu
} // namespace linalg
