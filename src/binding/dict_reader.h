// Reading a dict argument from its own storage, in its own order (PyDict_Next), so that
// a subclass's overridden methods are never called. Python code run while the entries are
// handled may change the dict, and so may another thread where there is no interpreter
// lock: a change of size ends the call with the Panic "dictionary changed size during
// iteration". When it delivers more entries than it held at the start, the extra entry is
// handled like the others and the step after it ends the call with "dictionary keys
// changed during iteration".
#pragma once

#include <Python.h>

#include "binding/error.h"
#include "binding/free_threading.h"
#include "binding/ref.h"

namespace brackwell::binding {

// Calls each(key, value) for every entry of `dict`, which held `start_size` entries when
// reading began. The size is compared before every step, the last one included. Each
// step reads the dict under its critical section; `each` runs outside it. Both objects
// are borrowed: `each` takes a reference to whatever must outlive Python code it runs.
// (Without the interpreter lock they are held here for the length of `each`, since
// another thread may drop them from the dict at any moment.)
template <class Each>
void for_each_dict_entry(PyObject* dict, Py_ssize_t start_size, Each&& each) {
  Py_ssize_t position = 0;
  Py_ssize_t yielded = 0;
  for (;;) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
#ifdef Py_GIL_DISABLED
    Ref key_held, value_held;  // dropped after `each`, outside the critical section
#endif
    {
      const CriticalSection section{dict};
      if (PyDict_Size(dict) != start_size) throw Panic{"dictionary changed size during iteration"};
      if (yielded > start_size) throw Panic{"dictionary keys changed during iteration"};
      if (!PyDict_Next(dict, &position, &key, &value)) return;
#ifdef Py_GIL_DISABLED
      key_held = Ref::borrow(key);
      value_held = Ref::borrow(value);
#endif
    }
    ++yielded;
    each(key, value);
  }
}

// The same, with the size taken now.
template <class Each>
void for_each_dict_entry(PyObject* dict, Each&& each) {
  for_each_dict_entry(dict, PyDict_Size(dict), each);
}

// The value stored under `key` in `dict` (never a subclass's __getitem__ or __missing__),
// owned, or an empty Ref when there is none. Errors of the lookup (a key's __eq__) are
// thrown as PyError.
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
