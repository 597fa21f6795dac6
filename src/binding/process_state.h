// Everything the module keeps for the whole life of the process, in one place. Each
// object is made on first use, with the interpreter lock held, and never released: a
// later import in the same interpreter hands out the same module and types, and the
// interpreter may still use them while it shuts down. Only the owner interpreter's id
// is written without the lock (a compare-and-exchange at import).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace brackwell::binding {

struct ProcessState {
  std::atomic<std::int64_t> owner_interpreter{-1};  // the interpreter that imported first
  PyObject* module = nullptr;                       // the module object
  PyObject* panic_type = nullptr;                   // PanicException
  PyObject* sequence_abc = nullptr;                 // collections.abc.Sequence
  // The names SchemaDiffEngine reads a column description for, interned.
  PyObject* data_type_name = nullptr;
  PyObject* nullable_name = nullptr;
  PyObject* primary_key_name = nullptr;
  // The four classes' type objects, each filled by its ClassDef.
  PyTypeObject* state_tracker_type = nullptr;
  PyTypeObject* query_compiler_type = nullptr;
  PyTypeObject* batch_aggregator_type = nullptr;
  PyTypeObject* schema_diff_engine_type = nullptr;
};

// The one instance: constant-initialised, so it exists before any code of the module runs.
inline constinit ProcessState process_state;

}  // namespace brackwell::binding
