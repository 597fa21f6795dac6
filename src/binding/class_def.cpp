#include "binding/class_def.h"

#include "binding/error.h"

namespace brackwell::binding {

PyTypeObject* ClassDef::ensure_type() {
  if (!type_) {
    PyObject* type = PyType_FromSpec(&spec_);
    if (!type) throw PyError::fetch();
    type_ = reinterpret_cast<PyTypeObject*>(type);
  }
  return type_;
}

}  // namespace brackwell::binding
