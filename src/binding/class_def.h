// ClassDef: a heap type made from a spec. It knows the class name and spec, and where
// the process keeps the type object, which it creates at the first registration.
#pragma once

#include <Python.h>

namespace brackwell::binding {

class ClassDef {
 public:
  // `type` is the class's slot in the process state (binding/process_state.h).
  ClassDef(const char* name, PyType_Spec& spec, PyTypeObject*& type) noexcept
      : name_(name), spec_(spec), type_(type) {}
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
  PyTypeObject*& type_;
};

}  // namespace brackwell::binding
