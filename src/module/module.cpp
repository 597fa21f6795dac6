// The module's entry point: single-phase initialisation owned by the first interpreter
// that imports it, the cached module object, and registration of the four classes.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "batcher/batch_aggregator.h"
#include "binding/boundary.h"
#include "binding/class_def.h"
#include "binding/convert.h"
#include "binding/process_state.h"
#include "compiler/query_compiler.h"
#include "migration_diff/schema_diff_engine.h"
#include "state_tracker/state_tracker.h"

namespace brackwell::module {
namespace {

using binding::ClassDef;
using binding::owned;
using binding::process_state;
using binding::PyError;
using binding::Ref;

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "_brackwell_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

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
  if (!process_state.owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    throw PyError::make(PyExc_ImportError,
                        "_brackwell_rs does not support sub-interpreters: it is already "
                        "loaded in another interpreter of this process");
  }
}

// Without the interpreter lock, the interpreter keeps the lock off after the import only
// when the module says it needs none. That holds here: every hold is taken by
// compare-and-swap, the caller's lists and dicts are read through binding/free_threading.h
// and binding/dict_reader.h, and the process-wide objects are published once.
void declare_free_threading_safe([[maybe_unused]] PyObject* module) {
#ifdef Py_GIL_DISABLED
  binding::check(PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED));
#endif
}

Ref initialise() {
  claim_interpreter();
  std::atomic<PyObject*>& cached = process_state.module;
  if (PyObject* module = cached.load(std::memory_order_acquire)) return Ref::borrow(module);
  Ref module = owned(PyModule_Create2(&g_definition, PYTHON_ABI_VERSION));
  declare_free_threading_safe(module.get());
  // The registration order, which __all__ shows.
  for (ClassDef* def :
       {&state_tracker::state_tracker_class(), &compiler::query_compiler_class(),
        &batcher::batch_aggregator_class(), &migration_diff::schema_diff_engine_class()}) {
    register_class(module.get(), *def);
  }
  // Registering runs Python code, which may have imported the module meanwhile: the
  // first module published is the one every import hands out.
  PyObject* first = nullptr;
  if (cached.compare_exchange_strong(first, module.get(), std::memory_order_acq_rel)) {
    return Ref::borrow(module.release());  // the process keeps one reference
  }
  return Ref::borrow(first);
}

}  // namespace
}  // namespace brackwell::module

PyMODINIT_FUNC PyInit__brackwell_rs() {
  return brackwell::binding::entry(brackwell::module::initialise);
}
