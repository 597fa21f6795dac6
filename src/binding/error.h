// The two ways a failure travels inside the module: PyError (a Python exception, held
// while C++ unwinds with the interpreter's indicator clear) and Panic (a broken
// invariant, raised as PanicException at the boundary). owned(), check() and created()
// turn failed C-API calls into them.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "binding/ref.h"

namespace brackwell::binding {

// An internal failure. Its message becomes the PanicException's message; a failure
// raised without one says so. An empty message (from Python code) stays empty.
struct Panic {
  std::string message = "panic from Rust code";
};

// A Python exception in flight through C++ code.
class PyError {
 public:
  // Takes the pending exception from the interpreter. No pending exception gives
  // SystemError; a pending PanicException raised by Python code is printed to standard
  // error and thrown on as a Panic (so no fallback can swallow it).
  static PyError fetch();
  // A new exception of `type` with `message` (not yet raised).
  static PyError make(PyObject* type, std::string_view message);
  // An exception object made by the module (not yet raised).
  static PyError of(Ref exception);

  // Sets this exception as the interpreter's current one.
  void restore() &&;
  // True when the exception's type is exactly `type` (not a subclass).
  bool is_exactly(PyObject* type) const noexcept { return type_.get() == type; }
  // The exception object (normalised); borrowed.
  PyObject* value() const noexcept { return value_.get(); }

 private:
  PyError(Ref type, Ref value, Ref traceback)
      : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}
  Ref type_, value_, traceback_;
};

// The PanicException type, created at the first call and kept for the process;
// nullptr if it could not be created (an exception is then pending).
PyObject* panic_type() noexcept;

// True when the pending exception is a PanicException. Cheap: no type is created,
// since none can be pending before the type exists.
bool panic_pending() noexcept;

// When a PanicException is pending, throws it on as a Panic (printing it first);
// otherwise clears the pending exception. For the few places that absorb errors.
void clear_unless_panic();

// Raises PanicException with `message` after writing a diagnostic to standard error.
void raise_panic(std::string_view message) noexcept;

// Wraps a C-API result that is a new reference or NULL with an exception set.
inline Ref owned(PyObject* p) {
  if (!p) throw PyError::fetch();
  return Ref::steal(p);
}

// Checks a C-API status that is negative with an exception set.
inline void check(int status) {
  if (status < 0) throw PyError::fetch();
}

// Prints the pending exception, if any, and throws Panic("Python API call failed").
[[noreturn]] void creation_failed();

// Wraps an object the module creates as a result (str, int, list, tuple). Failure
// there means the interpreter itself is failing: print it and end as a Panic. Inline:
// every result takes this path.
inline Ref created(PyObject* p) {
  if (!p) creation_failed();
  return Ref::steal(p);
}

}  // namespace brackwell::binding
