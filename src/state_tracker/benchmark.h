// The native change-tracking benchmark: builds text-only trackers, puts each through one
// change, check and commit, and times that on the monotonic clock. No interpreter is
// involved. Throws std::bad_alloc when the trackers do not fit in memory.
#pragma once

#include <cstdint>

namespace brackwell::state_tracker {

// Seconds (never negative) spent building `count` NativeRustTrackers, all alive at
// once, and then, tracker by tracker, setting "age" to "26", asking whether anything is
// dirty and committing. Freeing the trackers happens after the clock stops.
double run_native_benchmark(std::uint64_t count);

}  // namespace brackwell::state_tracker
