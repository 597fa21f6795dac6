#include "binding/error.h"

#include "binding/convert.h"
#include "binding/free_threading.h"
#include "binding/process_state.h"

namespace brackwell::binding {
namespace {

constexpr const char kPanicName[] = "pyo3_runtime.PanicException";
constexpr const char kPanicDoc[] =
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The message a PanicException raised by Python code carries on: the lossy text of
// its str(), or a fixed text when it has none.
std::string resumed_panic_message(PyObject* value) {
  if (!value) return "Unwrapped panic from Python code";
  Ref text = Ref::steal(PyObject_Str(value));
  if (!text) {
    PyErr_Clear();
    return "Unwrapped panic from Python code";
  }
  return lossy_utf8(text.get());
}

// Prints a PanicException that Python code raised and returns it as a Panic.
Panic resume_panic(PyObject* type, PyObject* value, PyObject* traceback) {
  std::string message = resumed_panic_message(value);
  PySys_WriteStderr("_brackwell_rs: Python code raised PanicException; resuming the failure\n");
  PySys_WriteStderr("Python stack trace below:\n");
  PyErr_Restore(type, value, traceback);  // steals all three
  PyErr_PrintEx(0);
  return Panic{std::move(message)};
}

}  // namespace

PyObject* panic_type() noexcept {
  return publish_once(process_state.panic_type, [] {
    return PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
  });
}

bool panic_pending() noexcept {
  PyObject* type = process_state.panic_type.load(std::memory_order_acquire);
  return type && PyErr_ExceptionMatches(type);
}

PyError PyError::fetch() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) {
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  PyObject* panic = process_state.panic_type.load(std::memory_order_acquire);
  if (panic && PyErr_GivenExceptionMatches(type, panic)) {
    throw resume_panic(type, value, traceback);
  }
  return PyError(Ref::steal(type), Ref::steal(value), Ref::steal(traceback));
}

PyError PyError::make(PyObject* type, std::string_view message) {
  Ref text = created(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
  Ref exception = owned(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  return PyError(Ref::borrow(type), std::move(exception), Ref());
}

PyError PyError::of(Ref exception) {
  Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
  return PyError(std::move(type), std::move(exception), Ref());
}

void PyError::restore() && {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void clear_unless_panic() {
  if (panic_pending()) throw PyError::fetch();  // fetch turns it into a Panic
  PyErr_Clear();
}

void raise_panic(std::string_view message) noexcept {
  PySys_WriteStderr("_brackwell_rs: internal failure: %.900s\n", std::string(message).c_str());
  PyObject* type = panic_type();
  if (!type) return;  // the pending exception from the failed creation stands
  Ref text =
      Ref::steal(PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

void creation_failed() {
  if (PyErr_Occurred()) PyErr_Print();
  throw Panic{"Python API call failed"};
}

}  // namespace brackwell::binding
