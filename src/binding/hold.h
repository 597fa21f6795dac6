// Holds on an instance for the length of one call. A shared hold refuses an instance
// held exclusively ("Already mutably borrowed"); an exclusive hold refuses one held in
// any way ("Already borrowed"). Both give the counter back in their destructor, so every
// path releases them. Always a named local, taken right after binding. A refused call
// has changed nothing: the hold is taken before any argument is converted.
//
// Without the interpreter lock, a call on an instance of a class with state first enters
// the instance's critical section (InstanceSection below), so another thread's call
// waits for it, as it would wait for the lock. Every access to the counter is then
// ordered by the lock or by that section's mutex, and plain loads and stores do. The
// counter still refuses a call that gets in while the one before it is suspended: a
// nested call from Python code the first call runs, or another thread's call while that
// code blocks, exactly as with the lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/error.h"

namespace brackwell::binding {

// Per-instance record of running calls: 0 free, n shared holds, kExclusive one writer.
// Atomic only so that the word can serve as the release queue's link (binding/instance.h);
// every access is relaxed.
struct BorrowCounter {
  static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};
  std::atomic<std::uintptr_t> state{0};
};

// The critical section of one call on an instance of a class with state, and of the one
// container argument that call reads (a dict, or an exact list), if any: one section on
// both, taken once, so that the call sees the instance and the container as no other
// thread's call can change them. Taken after binding, before the hold. Nothing with the
// interpreter lock, which already keeps other threads out.
//
// The interpreter suspends the section only while this thread waits (on a lock, a sleep,
// I/O, a stop of every thread for a collection) or when a section it begins inside must
// wait; Python code that runs inside without waiting keeps it. Never begin a section
// inside on an object this one holds: 3.13 would wait on its own lock and suspend it.
class [[nodiscard]] InstanceSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit InstanceSection(PyObject* self) noexcept : two_(false) {
    PyCriticalSection_Begin(&one_, self);
  }
  // `container` may be nullptr: then the section is the instance's alone.
  InstanceSection(PyObject* self, PyObject* container) noexcept : two_(container != nullptr) {
    if (two_) {
      PyCriticalSection2_Begin(&both_, self, container);
    } else {
      PyCriticalSection_Begin(&one_, self);
    }
  }
  ~InstanceSection() {
    if (two_) {
      PyCriticalSection2_End(&both_);
    } else {
      PyCriticalSection_End(&one_);
    }
  }
#else
  explicit InstanceSection(PyObject*) noexcept {}
  InstanceSection(PyObject*, PyObject*) noexcept {}
#endif
  InstanceSection(const InstanceSection&) = delete;
  InstanceSection& operator=(const InstanceSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  union {
    PyCriticalSection one_;
    PyCriticalSection2 both_;
  };
  bool two_;
#endif
};

class SharedHold {
 public:
  [[nodiscard]] explicit SharedHold(BorrowCounter& counter) : counter_(counter) {
    const std::uintptr_t state = counter_.state.load(std::memory_order_relaxed);
    if (state == BorrowCounter::kExclusive) refuse();
    counter_.state.store(state + 1, std::memory_order_relaxed);
  }
  ~SharedHold() {
    counter_.state.store(counter_.state.load(std::memory_order_relaxed) - 1,
                         std::memory_order_relaxed);
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
    if (counter_.state.load(std::memory_order_relaxed) != 0) refuse();
    counter_.state.store(BorrowCounter::kExclusive, std::memory_order_relaxed);
  }
  ~ExclusiveHold() { counter_.state.store(0, std::memory_order_relaxed); }
  ExclusiveHold(const ExclusiveHold&) = delete;
  ExclusiveHold& operator=(const ExclusiveHold&) = delete;

 private:
  [[noreturn]] static void refuse() { throw PyError::make(PyExc_RuntimeError, "Already borrowed"); }
  BorrowCounter& counter_;
};

}  // namespace brackwell::binding
