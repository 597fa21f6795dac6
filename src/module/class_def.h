// ClassDef: what the module needs to register one class (its name and type spec) and
// the type object, created at the first registration and kept for the process.
#pragma once

#include <Python.h>

namespace brackwell::module {

class ClassDef {
 public:
  ClassDef(const char* name, PyType_Spec& spec) noexcept : name_(name), spec_(spec) {}
  ClassDef(const ClassDef&) = delete;
  ClassDef& operator=(const ClassDef&) = delete;

  // The class name, as in __name__ and in messages.
  const char* name() const noexcept { return name_; }
  // The type object, or nullptr before the first registration.
  PyTypeObject* type() const noexcept { return type_; }
  // Creates the type object at the first call; throws PyError when it cannot.
  PyTypeObject* ensure_type();

 private:
  const char* name_;
  PyType_Spec& spec_;
  PyTypeObject* type_ = nullptr;  // never released
};

// The four classes, in registration order.
ClassDef& state_tracker_class();
ClassDef& query_compiler_class();
ClassDef& batch_aggregator_class();
ClassDef& schema_diff_engine_class();

}  // namespace brackwell::module
