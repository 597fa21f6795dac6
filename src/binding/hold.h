// Holds on an instance for the length of one call. A shared hold refuses an instance
// held exclusively ("Already mutably borrowed"); an exclusive hold refuses one held in
// any way ("Already borrowed"). Both give the counter back in their destructor, so every
// path releases them. Always a named local, taken right after binding. A refused call
// has changed nothing: the hold is taken before any argument is converted.
//
// Without the interpreter lock two threads may take holds on one instance at the same
// moment: the counter then changes only by compare-and-swap, so no update is lost and
// the thread that loses the race gets the same RuntimeError a nested call would. With
// the lock, only the running thread can touch the counter, and plain loads and stores do.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/error.h"

namespace brackwell::binding {

// Per-instance record of running calls: 0 free, n shared holds, kExclusive one writer.
struct BorrowCounter {
  static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};
  std::atomic<std::uintptr_t> state{0};
};

class SharedHold {
 public:
  [[nodiscard]] explicit SharedHold(BorrowCounter& counter) : counter_(counter) {
    std::uintptr_t state = counter_.state.load(std::memory_order_relaxed);
#ifdef Py_GIL_DISABLED
    do {
      if (state == BorrowCounter::kExclusive) refuse();
    } while (!counter_.state.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                                   std::memory_order_relaxed));
#else
    if (state == BorrowCounter::kExclusive) refuse();
    counter_.state.store(state + 1, std::memory_order_relaxed);
#endif
  }
  ~SharedHold() {
#ifdef Py_GIL_DISABLED
    counter_.state.fetch_sub(1, std::memory_order_release);
#else
    counter_.state.store(counter_.state.load(std::memory_order_relaxed) - 1,
                         std::memory_order_relaxed);
#endif
  }
  SharedHold(const SharedHold&) = delete;
  SharedHold& operator=(const SharedHold&) = delete;

 private:
  [[noreturn]] static void refuse() {
    throw PyError::make(PyExc_RuntimeError, "Already mutably borrowed");
  }
  BorrowCounter& counter_;
};

class ExclusiveHold {
 public:
  [[nodiscard]] explicit ExclusiveHold(BorrowCounter& counter) : counter_(counter) {
#ifdef Py_GIL_DISABLED
    std::uintptr_t free = 0;
    if (!counter_.state.compare_exchange_strong(free, BorrowCounter::kExclusive,
                                                std::memory_order_acquire,
                                                std::memory_order_relaxed)) {
      refuse();
    }
#else
    if (counter_.state.load(std::memory_order_relaxed) != 0) refuse();
    counter_.state.store(BorrowCounter::kExclusive, std::memory_order_relaxed);
#endif
  }
  ~ExclusiveHold() {
    counter_.state.store(0, std::memory_order_release);
  }
  ExclusiveHold(const ExclusiveHold&) = delete;
  ExclusiveHold& operator=(const ExclusiveHold&) = delete;

 private:
  [[noreturn]] static void refuse() {
    throw PyError::make(PyExc_RuntimeError, "Already borrowed");
  }
  BorrowCounter& counter_;
};

}  // namespace brackwell::binding
