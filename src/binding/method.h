// Building method-table entries: the three C signatures the module uses, cast to
// PyCFunction through void(*)() so that -Wcast-function-type stays quiet.
#pragma once

#include <Python.h>

namespace brackwell::binding {

using ArgsKwargsMethod = PyObject* (*)(PyObject*, PyObject*, PyObject*) noexcept;
using NoArgsMethod = PyObject* (*)(PyObject*, PyObject*) noexcept;

inline PyMethodDef method(const char* name, ArgsKwargsMethod function, const char* doc,
                          int extra_flags = 0) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_VARARGS | METH_KEYWORDS | extra_flags, doc};
}

inline PyMethodDef method(const char* name, NoArgsMethod function, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_NOARGS,
          doc};
}

}  // namespace brackwell::binding
