// The module's entry point: single-phase initialisation owned by the first interpreter
// that imports it, the cached module object, and registration of the four classes.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/boundary.h"
#include "binding/convert.h"
#include "module/class_def.h"

namespace brackwell::module {
namespace {

using binding::owned;
using binding::PyError;
using binding::Ref;

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "_brackwell_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_owner{-1};  // the interpreter that imported first
PyObject* g_module = nullptr;           // kept for the process once made

// The module's __all__, created empty when absent; anything but a list is refused.
Ref all_list(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError::fetch();
    PyErr_Clear();
    all = owned(PyList_New(0));
    binding::check(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  if (!PyList_Check(all.get())) throw binding::conversion_error(all.get(), "PyList");
  return all;
}

void register_class(PyObject* module, ClassDef& def) {
  PyTypeObject* type = def.ensure_type();
  Ref all = all_list(module);
  Ref name = owned(PyUnicode_FromString(def.name()));
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Print();
    throw binding::Panic{std::string("could not append __name__ to __all__: ") + def.name()};
  }
  binding::check(PyObject_SetAttrString(module, def.name(), reinterpret_cast<PyObject*>(type)));
}

void claim_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw PyError::fetch();
  std::int64_t expected = -1;
  if (!g_owner.compare_exchange_strong(expected, id) && expected != id) {
    throw PyError::make(PyExc_ImportError,
                        "_brackwell_rs does not support sub-interpreters: it is already "
                        "loaded in another interpreter of this process");
  }
}

Ref initialise() {
  claim_interpreter();
  if (g_module) return Ref::borrow(g_module);
  Ref module = owned(PyModule_Create2(&g_definition, PYTHON_ABI_VERSION));
  for (ClassDef* def : {&state_tracker_class(), &query_compiler_class(), &batch_aggregator_class(),
                        &schema_diff_engine_class()}) {
    register_class(module.get(), *def);
  }
  if (!g_module) g_module = Ref::borrow(module.get()).release();
  return Ref::borrow(g_module);
}

}  // namespace
}  // namespace brackwell::module

PyMODINIT_FUNC PyInit__brackwell_rs() {
  return brackwell::binding::entry(brackwell::module::initialise);
}
