#include "state_tracker/benchmark.h"

#include <time.h>
#if defined(_WIN32)
#include "common/win32.h"
#endif

#include <memory_resource>
#include <new>
#include <stdexcept>
#include <vector>

#include "state_tracker/text_tracker.h"

namespace brackwell::state_tracker {
namespace {

// A monotonic clock that does not advance while the system is suspended.
timespec now() noexcept {
  timespec ts{};
#if defined(_WIN32)
  ULONGLONG ticks = 0;  // 100 ns units, suspended time left out
  QueryUnbiasedInterruptTime(&ticks);
  ts.tv_sec = time_t(ticks / 10'000'000);
  ts.tv_nsec = long(ticks % 10'000'000 * 100);
#elif defined(__APPLE__)
  clock_gettime(CLOCK_UPTIME_RAW, &ts);  // CLOCK_MONOTONIC counts sleep there
#else
  clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
  return ts;
}

double seconds_between(const timespec& start, const timespec& stop) noexcept {
  std::int64_t seconds = std::int64_t(stop.tv_sec) - std::int64_t(start.tv_sec);
  std::int64_t nanoseconds = std::int64_t(stop.tv_nsec) - std::int64_t(start.tv_nsec);
  if (nanoseconds < 0) {
    nanoseconds += 1'000'000'000;
    seconds -= 1;
  }
  if (seconds < 0) return 0.0;
  return double(seconds) + double(nanoseconds) / 1e9;
}

}  // namespace

double run_native_benchmark(std::uint64_t count) {
  // One arena serves the growth of every tracker's table: no allocation of its own per
  // table, no allocator header beside each, the tables side by side in memory. Declared
  // first, so that it goes after the trackers.
  std::pmr::monotonic_buffer_resource arena;
  std::vector<NativeRustTracker> trackers;
  const timespec start = now();
  // A count beyond what a vector can address is as unsatisfiable as one that does not
  // fit in memory: both are reported as lack of memory.
  if (count > trackers.max_size()) throw std::bad_alloc();
  trackers.reserve(std::size_t(count));
  for (std::uint64_t i = 0; i < count; ++i) trackers.emplace_back(i, &arena);
  for (NativeRustTracker& tracker : trackers) {
    tracker.set_current_text("age", "26");
    // The answer is not used; the check is part of the measured work.
    [[maybe_unused]] volatile bool dirty = tracker.any_dirty();
    tracker.commit();
  }
  const timespec stop = now();
  return seconds_between(start, stop);  // the trackers are freed after this, unmeasured
}

}  // namespace brackwell::state_tracker
