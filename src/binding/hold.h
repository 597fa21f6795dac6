// Holds on an instance for the length of one call. A shared hold refuses an instance
// held exclusively ("Already mutably borrowed"); an exclusive hold refuses one held in
// any way ("Already borrowed"). Both give the counter back in their destructor, so every
// path releases them. Always a named local, taken right after binding.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/error.h"

namespace brackwell::binding {

// Per-instance record of running calls: 0 free, n shared holds, kExclusive one writer.
struct BorrowCounter {
  static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};
  std::uintptr_t state = 0;
};

class SharedHold {
 public:
  [[nodiscard]] explicit SharedHold(BorrowCounter& counter) : counter_(counter) {
    if (counter_.state == BorrowCounter::kExclusive) {
      throw PyError::make(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ++counter_.state;
  }
  ~SharedHold() { --counter_.state; }
  SharedHold(const SharedHold&) = delete;
  SharedHold& operator=(const SharedHold&) = delete;

 private:
  BorrowCounter& counter_;
};

class ExclusiveHold {
 public:
  [[nodiscard]] explicit ExclusiveHold(BorrowCounter& counter) : counter_(counter) {
    if (counter_.state != 0) throw PyError::make(PyExc_RuntimeError, "Already borrowed");
    counter_.state = BorrowCounter::kExclusive;
  }
  ~ExclusiveHold() { counter_.state = 0; }
  ExclusiveHold(const ExclusiveHold&) = delete;
  ExclusiveHold& operator=(const ExclusiveHold&) = delete;

 private:
  BorrowCounter& counter_;
};

}  // namespace brackwell::binding
