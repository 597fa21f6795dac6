// Bounded nesting of deallocations. Freeing an instance that owns Python references
// releases them, and one of them may be the last reference to another such instance: a
// chain of trackers would free itself recursively, one C stack frame set per link. Past
// kMaxNesting nested deallocations on one thread, an instance is queued instead, and the
// outermost deallocation frees the queue one instance at a time. Nothing here allocates
// or fails: queued instances are linked through a word of their own memory.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace brackwell::binding {

// One thread's deallocations in progress and the instances they left for later. Plain
// data, constant-initialised: a thread that ends has nothing to clean up, because the
// outermost deallocation empties the queue before it returns.
struct ReleaseQueue {
  PyObject* head = nullptr;  // the last instance queued; each links to the one before
  int depth = 0;             // deallocations running on this thread, nested
};
inline thread_local constinit ReleaseQueue release_queue;

// Deeper than this, a deallocation is queued. Small enough for a thread of 256 KiB of stack
// under a sanitizer, with the interpreter's own container deallocations between ours.
inline constexpr int kMaxNesting = 32;

// Counts one deallocation for its whole length; the outermost one, as it ends, frees every
// instance queued meanwhile, including those queued by the frees it makes. `link` gives the
// word inside an instance that holds the queue's link while it waits.
template <std::atomic<std::uintptr_t>& (*link)(PyObject*)>
class NestedRelease {
 public:
  NestedRelease() noexcept { ++release_queue.depth; }
  ~NestedRelease() {
    if (release_queue.depth == 1) drain();
    --release_queue.depth;
  }
  NestedRelease(const NestedRelease&) = delete;
  NestedRelease& operator=(const NestedRelease&) = delete;

  // Whether this deallocation is nested too deep to run now.
  bool too_deep() const noexcept { return release_queue.depth > kMaxNesting; }

  // Leaves `self` (already untracked by the collector, its type still held) for the
  // outermost deallocation.
  static void defer(PyObject* self) noexcept {
    // Only this thread reads the links of its queue: no ordering is needed.
    link(self).store(reinterpret_cast<std::uintptr_t>(release_queue.head),
                     std::memory_order_relaxed);
    release_queue.head = self;
  }

 private:
  // Takes one instance at a time off the queue before freeing it, so that a free which
  // queues more, runs a finalizer that frees or collects, or calls back in, finds the
  // queue consistent. The instance's own deallocation frees it, nested one level down.
  static void drain() noexcept {
    while (PyObject* self = release_queue.head) {
      release_queue.head = reinterpret_cast<PyObject*>(link(self).load(std::memory_order_relaxed));
      link(self).store(0, std::memory_order_relaxed);
      auto dealloc = reinterpret_cast<destructor>(PyType_GetSlot(Py_TYPE(self), Py_tp_dealloc));
      dealloc(self);
    }
  }
};

}  // namespace brackwell::binding
