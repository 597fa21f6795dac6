// The module's entry point: the module object, made once and owned by the first
// interpreter that imports it, and registration of the four classes. The abi3 and
// version-specific builds hand it out by single-phase initialisation (PyInit_); the abi3t
// build, which has no module definition struct, by an export hook whose slots name a
// creation function that hands out the same cached module (binding/abi.h).
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "batcher/batch_aggregator.h"
#include "binding/abi.h"
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

#if !BRACKWELL_ABI3T
PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "_brackwell_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

Ref new_module(PyObject* /*spec*/) {
  return owned(PyModule_Create2(&g_definition, PYTHON_ABI_VERSION));
}
#else
// An empty module named as the import asked, with the same empty docstring.
Ref new_module(PyObject* spec) {
  Ref name = owned(PyObject_GetAttrString(spec, "name"));
  Ref module = owned(PyModule_NewObject(name.get()));
  binding::check(PyModule_SetDocString(module.get(), ""));
  return module;
}
#endif

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
// when the module says it needs none. That holds here: every call on an instance with state
// holds the instance's critical section (binding/hold.h), the caller's lists and dicts are
// read through binding/free_threading.h and binding/dict_reader.h, and the process-wide
// objects are published once.
// The abi3t build says so by its Py_mod_gil slot instead.
void declare_free_threading_safe([[maybe_unused]] PyObject* module) {
#if defined(Py_GIL_DISABLED) && !BRACKWELL_ABI3T
  binding::check(PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED));
#endif
}

// The module for this import: made at the first, the cached one at every later import.
// A second interpreter is refused before anything else.
Ref initialise(PyObject* spec) {
  claim_interpreter();
  std::atomic<PyObject*>& cached = process_state.module;
  if (PyObject* module = cached.load(std::memory_order_acquire)) return Ref::borrow(module);
  Ref module = new_module(spec);
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

#if BRACKWELL_ABI3T
PyObject* create(PyObject* spec, PyModuleDef* /*definition*/) noexcept {
  return binding::entry([spec] { return initialise(spec); });
}

PySlot slot(std::uint16_t id, std::uint16_t flags, void* data) noexcept {
  PySlot made{};
  made.sl_id = id;
  made.sl_flags = flags;
  made.sl_ptr = data;
  return made;
}

PySlot function_slot(std::uint16_t id, void (*function)()) noexcept {
  PySlot made{};
  made.sl_id = id;
  made.sl_func = function;
  return made;
}
#endif

}  // namespace
}  // namespace brackwell::module

#if BRACKWELL_ABI3T
// The slots: which interface the module was built for (with the default flags: stable,
// and fit for interpreters with and without the lock), the creation function, and that
// the module needs no lock. Without an exec slot the creation function does all the work,
// so a later import hands out the cached module as it is.
PyMODEXPORT_FUNC PyModExport__brackwell_rs() {
  using namespace brackwell::module;
  PyABIInfo_VAR(abi_info);
  static PySlot slots[] = {
      slot(Py_mod_abi, PySlot_INTPTR, &abi_info),
      function_slot(Py_mod_create, reinterpret_cast<void (*)()>(&create)),
      slot(Py_mod_gil, PySlot_INTPTR, Py_MOD_GIL_NOT_USED),
      PySlot{},
  };
  return slots;
}
#else
PyMODINIT_FUNC PyInit__brackwell_rs() {
  return brackwell::binding::entry([] { return brackwell::module::initialise(nullptr); });
}
#endif
