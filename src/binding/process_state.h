// Everything the module keeps for the whole life of the process, in one place. Each
// object is made on first use and never released: a later import in the same
// interpreter hands out the same module and types, and the interpreter may still use
// them while it shuts down. The objects made on first use are published once
// (publish_once() in binding/free_threading.h), since without the interpreter lock two
// threads may make one at the same time; the type objects are made while the module is
// imported, under the import lock, before any thread can call into it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace brackwell::binding {

struct ProcessState {
  std::atomic<std::int64_t> owner_interpreter{-1};  // the interpreter that imported first
  std::atomic<PyObject*> module{nullptr};           // the module object
  std::atomic<PyObject*> panic_type{nullptr};       // PanicException
  std::atomic<PyObject*> sequence_abc{nullptr};     // collections.abc.Sequence
  // The names SchemaDiffEngine reads a column description for, interned.
  std::atomic<PyObject*> data_type_name{nullptr};
  std::atomic<PyObject*> nullable_name{nullptr};
  std::atomic<PyObject*> primary_key_name{nullptr};
  // The four classes' type objects, each filled by its ClassDef.
  PyTypeObject* state_tracker_type = nullptr;
  PyTypeObject* query_compiler_type = nullptr;
  PyTypeObject* batch_aggregator_type = nullptr;
  PyTypeObject* schema_diff_engine_type = nullptr;
};

// The one instance: constant-initialised, so it exists before any code of the module runs.
inline constinit ProcessState process_state;

}  // namespace brackwell::binding
