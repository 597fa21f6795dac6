// What differs between interpreters with and without the global interpreter lock, in one
// place. Without the lock (Py_GIL_DISABLED), other threads run alongside a call: an object
// the caller passed in may change at any moment, not only while Python code runs. Three
// tools cover that, and each is nothing or next to nothing on a build with the lock:
//   CriticalSection  the object's own lock around a walk of its storage;
//   ListItems        list items taken as new references, at most the starting length;
//   publish_once()   a process-wide object made once, the first to publish it wins.
// Nothing here throws except ListItems (PyError, from the interpreter).
#pragma once

#include <Python.h>

#include <atomic>

#include "binding/error.h"
#include "binding/ref.h"

namespace brackwell::binding {

// Holds `object`'s critical section for the life of the guard; releases it on every path,
// an exception included. The interpreter suspends it while Python code runs inside (as it
// would release the lock), so a borrowed pointer read under it is still to be taken as a
// reference before any step that can run Python code. Nothing at all with the lock, where
// the lock itself keeps other threads out.
class [[nodiscard]] CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* object) noexcept {
    PyCriticalSection_Begin(&section_, object);
  }
  ~CriticalSection() {
    PyCriticalSection_End(&section_);
  }
#else
  explicit CriticalSection(PyObject*) noexcept {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection section_;
#endif
};

// Reads an exact list by index, never past the length it had when reading began. Each item
// is handed out as a new reference, taken while the item was in the list.
class ListItems {
 public:
  explicit ListItems(PyObject* list) noexcept : list_(list), size_(PyList_Size(list)) {}

  // The length when reading began: no index at or past it is read.
  Py_ssize_t size() const noexcept { return size_; }

  // Item `index` (below size()), or an empty Ref, with nothing pending, when the list is
  // shorter now. The caller then asks PySequence_GetItem, which raises the interpreter's
  // IndexError (or finds the item, if the list grew back meanwhile).
  Ref at(Py_ssize_t index) noexcept {
#ifdef Py_GIL_DISABLED
    // Another thread may shrink the list at any time: the item is taken and counted in
    // one step under the list's lock.
    PyObject* item = PyList_GetItemRef(list_, index);
    if (!item) PyErr_Clear();  // IndexError: the list is shorter now
    return Ref::steal(item);
#else
    // Only Python code can change the list, and any allocation may run some (a garbage
    // collection before 3.12): the length is read afresh, so an index past a shrunk end
    // is never read.
    return index < PyList_Size(list_) ? Ref::borrow(PyList_GetItem(list_, index)) : Ref();
#endif
  }

  // Item `index`, or the interpreter's IndexError (as PyError) when the list has shrunk.
  Ref at_or_raise(PyObject* sequence, Py_ssize_t index) {
    Ref item = at(index);
    if (!item) {
      item = Ref::steal(PySequence_GetItem(sequence, index));
      if (!item) throw PyError::fetch();
    }
    return item;
  }

 private:
  PyObject* list_;
  Py_ssize_t size_;
};

// The object in `slot`, made by `make` (a new reference, or nullptr with an exception
// pending) when the slot is empty. Two threads may make it at once; the first to publish
// wins and the other drops its own copy, so every caller sees the same object, and it is
// fully made before any thread can see it. Never released: the process keeps it.
template <class Make>
PyObject* publish_once(std::atomic<PyObject*>& slot, Make&& make) {
  if (PyObject* published = slot.load(std::memory_order_acquire)) return published;
  PyObject* made = make();
  if (!made) return nullptr;
  PyObject* published = nullptr;
  if (slot.compare_exchange_strong(published, made, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return made;
  }
  Py_DECREF(made);  // another thread was first
  return published;
}

}  // namespace brackwell::binding
