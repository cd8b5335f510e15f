// Test hooks: switches the test programs use to reach states the exported
// functions cannot set up (a forced kernel table, a small panel width, a
// failing allocation, a fresh generator, a recorded serial exchange). Only
// tests include this header; the library defines the hooks beside the state
// they touch, and no code of the library calls them.
#ifndef LINALG_TESTHOOKS_H
#define LINALG_TESTHOOKS_H

#include <string>
#include <vector>

#include "kernels/kernels.h"

namespace linalg {
namespace testhooks {

// Kernel dispatch (kernels/dispatch.cpp).
// Forces the table of one set; returns false (and changes nothing) when the
// processor cannot run it. reset_isa() restores the choice made at load.
bool force_isa(isa level);
void reset_isa();

// Blocked eliminations (solvers/blocked_lu.cpp).
// Panel width of the blocked eliminations (clamped to 1 .. 256); 0 restores
// the table's rules. Returns the width now set (0 for the table's). Small
// widths let tests run many panels, partial sub-panels and the plain tail
// on small orders.
idx set_block_size(idx nb);

// Work memory (base/work_memory.cpp).
// Make the k-th following work_alloc (k >= 1) fail; 0 disables injection.
void fail_alloc_at(long long k);
// Number of work_alloc calls since the last reset, and blocks not yet freed.
long long alloc_calls();
long long blocks_held();
void reset_alloc_counters();

// Mersenne Twister (random/mt19937.cpp).
// Puts the generator back into its state at load: unseeded, Gaussian cache
// empty.
void reset_generator();
// Whether the next Gaussian call returns the cached value.
bool gaussian_cached();

// Serial senders (console/rs232.cpp).
// While set, the senders record their steps in *trace: "open <path> <baud>",
// "write <byte>", "close". nullptr stops the recording.
void serial_trace(std::vector<std::string>* trace);

} // namespace testhooks
} // namespace linalg

#endif
