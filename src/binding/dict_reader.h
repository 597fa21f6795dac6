// Reading a dict argument from its own storage, in its own order (PyDict_Next), so that
// a subclass's overridden methods are never called. Python code run while the entries are
// handled may change the dict: a change of size ends the call with the Panic "dictionary
// changed size during iteration". When it delivers more entries than it held at the start,
// the extra entry is handled like the others and the step after it ends the call with
// "dictionary keys changed during iteration".
#pragma once

#include <Python.h>

#include "binding/error.h"

namespace brackwell::binding {

// Calls each(key, value) for every entry of `dict`, which held `start_size` entries when
// reading began. The size is compared before every step, the last one included. Both
// objects are borrowed from the dict: `each` takes a reference to whatever must outlive
// Python code it runs.
template <class Each>
void for_each_dict_entry(PyObject* dict, Py_ssize_t start_size, Each&& each) {
  Py_ssize_t position = 0;
  Py_ssize_t yielded = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (;;) {
    if (PyDict_Size(dict) != start_size) throw Panic{"dictionary changed size during iteration"};
    if (yielded > start_size) throw Panic{"dictionary keys changed during iteration"};
    if (!PyDict_Next(dict, &position, &key, &value)) return;
    ++yielded;
    each(key, value);
  }
}

// The same, with the size taken now.
template <class Each>
void for_each_dict_entry(PyObject* dict, Each&& each) {
  for_each_dict_entry(dict, PyDict_Size(dict), each);
}

}  // namespace brackwell::binding
