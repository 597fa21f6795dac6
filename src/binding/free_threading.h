// What differs between interpreters with and without the global interpreter lock, in one
// place. Without the lock (Py_GIL_DISABLED), other threads run alongside a call: an object
// the caller passed in may change at any moment, not only while Python code runs. Three
// tools cover that, and each is nothing or next to nothing on a build with the lock:
//   CriticalSection  the object's own lock for the whole of a read of its storage;
//   ListItems        list items read by index under the list's section, as new references;
//   publish_once()   a process-wide object made once, the first to publish it wins.
// The section of a call on an instance and its container argument is InstanceSection, in
// binding/hold.h. Nothing here throws except ListItems (PyError, from the interpreter).
#pragma once

#include <Python.h>

#include <atomic>

#include "binding/error.h"
#include "binding/ref.h"

namespace brackwell::binding {

// Whether other threads run alongside a call: built without the interpreter lock.
#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// Holds `object`'s critical section for the life of the guard; releases it on every path,
// an exception included. No other thread changes the object meanwhile, except while this
// thread waits: the interpreter suspends the section when the thread blocks (a contended
// lock, a nested section that must wait, a sleep, I/O) or stops for another thread's
// collection, which any Python code run inside can reach. From the first step that can
// run Python code or wait, a read under it must count the object as changed. Never begin
// a second section on an object this thread already holds, and never nest one for a
// third object in a read that must see one state: the inner one may suspend the outer.
// Nothing at all with the lock, where the lock itself keeps other threads out.
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

// What stands for a CriticalSection where none is to be taken.
struct Unsectioned {
  explicit Unsectioned(PyObject*) noexcept {}
};

// Reads an exact list by index, never past the length it had when reading began. Each item
// is handed out as a new reference, taken while the item was in the list. Without the
// interpreter lock the caller holds the list's critical section for the whole read, so
// that no other thread changes the list between the steps that run no Python code.
class ListItems {
 public:
  explicit ListItems(PyObject* list) noexcept : list_(list), size_(PyList_Size(list)) {}

  // The length when reading began: no index at or past it is read.
  Py_ssize_t size() const noexcept { return size_; }

  // Item `index` (below size()), or an empty Ref, with nothing pending, when the list is
  // shorter now. The caller then asks PySequence_GetItem, which raises the interpreter's
  // IndexError: an index past the end takes no lock there.
  Ref at(Py_ssize_t index) noexcept {
    // Python code run since the last item, or a wait that suspended the section, may have
    // changed the list. (PyList_GetItemRef would take the list's section again, which the
    // caller holds.)
#ifdef Py_GIL_DISABLED
    // PyList_GetItem checks the index against the length it has now: past a shrunk end it
    // raises IndexError, which runs no Python code here (no collection starts inside an
    // allocation on these interpreters).
    PyObject* item = PyList_GetItem(list_, index);
    if (!item) PyErr_Clear();
    return Ref::borrow(item);
#else
    // Any allocation may run Python code (a garbage collection before 3.12): the length is
    // read afresh, so an index past a shrunk end is never read and nothing is raised.
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
