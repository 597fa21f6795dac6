// Reading a dict argument from its own storage, in its own order (PyDict_Next), so that
// a subclass's overridden methods are never called. Python code run while the entries are
// handled may change the dict, and so may another thread while this one waits, where
// there is no interpreter lock: a change of size ends the call with the Panic "dictionary
// changed size during iteration". When it delivers more entries than it held at the
// start, the extra entry is handled like the others and the step after it ends the call
// with "dictionary keys changed during iteration".
#pragma once

#include <Python.h>

#include <memory_resource>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/error.h"
#include "binding/free_threading.h"
#include "binding/ref.h"

namespace brackwell::binding {

namespace detail {

// The walk from `position` on, `yielded` entries already handed out: the size is compared
// before every step, the last one included. With `Sectioned`, each step reads the dict
// under its critical section and hands out references taken before it ends; without, the
// caller holds the section for the whole walk and the objects are borrowed.
template <bool Sectioned, class Each>
void walk_dict(PyObject* dict, Py_ssize_t start_size, Py_ssize_t position, Py_ssize_t yielded,
               Each&& each) {
  for (;;) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    [[maybe_unused]] Ref key_held, value_held;  // dropped after `each`, outside the section
    {
      [[maybe_unused]] const std::conditional_t<Sectioned, CriticalSection, Unsectioned> section{
          dict};
      if (PyDict_Size(dict) != start_size) {
        throw Panic{"dictionary changed size during iteration"};
      }
      if (yielded > start_size) throw Panic{"dictionary keys changed during iteration"};
      if (!PyDict_Next(dict, &position, &key, &value)) return;
      if constexpr (Sectioned) {
        key_held = Ref::borrow(key);
        value_held = Ref::borrow(value);
      }
    }
    ++yielded;
    each(key, value);
  }
}

}  // namespace detail

// Calls each(key, value) for every entry of `dict`, which held `start_size` entries when
// reading began. The size is compared before every step, the last one included. Without
// the interpreter lock the caller holds the dict's critical section for the whole walk,
// `each` included, so that the walk sees one state of the dict until a step that can run
// Python code or wait. Both objects are borrowed: `each` takes a reference to whatever
// must outlive such a step, and counts the dict as changed from there on.
template <class Each>
void for_each_dict_entry(PyObject* dict, Py_ssize_t start_size, Each&& each) {
  detail::walk_dict<false>(dict, start_size, 0, 0, each);
}

// The same, with the size taken now.
template <class Each>
void for_each_dict_entry(PyObject* dict, Each&& each) {
  for_each_dict_entry(dict, PyDict_Size(dict), each);
}

// Calls each(key, value) for every entry of `dict`, for an `each` that reads other objects
// under sections of their own and returns whether Python code may have run. With the
// interpreter lock this is the walk above. Without it, a section on the dict cannot stay
// around such work: the entries are first taken as references under one unbroken section,
// which then ends, and `each` runs on them in order, so that the walk sees one state of
// the dict whatever other threads do. Once an `each` may have run Python code, which may
// have changed the dict, the walk goes on from where that entry stood, step by step, as
// with the lock. Both objects are borrowed, and valid until `each` returns.
template <class Each>
void for_each_dict_entry_apart(PyObject* dict, std::pmr::memory_resource* memory, Each&& each) {
#ifdef Py_GIL_DISABLED
  struct Entry {
    Ref key, value;
    Py_ssize_t next;  // the position of the step after it
  };
  std::pmr::vector<Entry> entries(memory);
  Py_ssize_t start_size = 0;
  {
    const CriticalSection section{dict};
    start_size = PyDict_Size(dict);
    entries.reserve(std::size_t(start_size));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
      entries.push_back({Ref::borrow(key), Ref::borrow(value), position});
    }
  }
  Py_ssize_t yielded = 0;
  for (const Entry& entry : entries) {
    ++yielded;
    if (each(entry.key.get(), entry.value.get())) {
      return detail::walk_dict<true>(dict, start_size, entry.next, yielded, each);
    }
  }
#else
  (void)memory;
  for_each_dict_entry(dict, each);
#endif
}

// The value stored under `key` in `dict` (never a subclass's __getitem__ or __missing__),
// owned, or an empty Ref when there is none. Errors of the lookup (a key's __eq__) are
// thrown as PyError. Without the interpreter lock the lookup may take the dict's section:
// never call it under a section on `dict`.
inline Ref dict_value(PyObject* dict, PyObject* key) {
#ifdef Py_GIL_DISABLED
  // Taken in the same step as the lookup: another thread may replace it at any moment.
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(dict, key, &found) < 0) throw PyError::fetch();
  return Ref::steal(found);
#else
  PyObject* found = PyDict_GetItemWithError(dict, key);
  if (!found && PyErr_Occurred()) throw PyError::fetch();
  return Ref::borrow(found);  // no Python code runs between the lookup and this
#endif
}

}  // namespace brackwell::binding
