// Ref: the one owning reference to a Python object. Move-only, so every new reference
// is spelled out: Ref::steal takes over a new reference, Ref::borrow adds one.
// A plain PyObject* anywhere else is borrowed and is never released.
//
// The rule every fast path follows: a borrowed pointer (an item of a list or dict, a key
// from PyDict_Next) and a UTF-8 view into an object are valid only until the next step
// that can run Python code. Such steps: creating any Python object (before 3.12 it can
// start a garbage collection, which runs finalizers), raising an exception (it creates
// one), str()/repr(), __index__, hashing or comparing a str subclass (every dict lookup
// with one), the unraisable hook, PySequence_* on anything but an exact list or tuple,
// and dropping a reference (the object's finalizer). Across such a step, hold a Ref,
// or re-check afterwards; where no step can run, say why in a comment.
#pragma once

#include <Python.h>

#include <utility>

namespace brackwell::binding {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (or nullptr).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed pointer (or nullptr).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
    Py_XDECREF(old);  // last: dropping it may run Python code
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  // A borrowed view, valid while this Ref holds it.
  PyObject* get() const noexcept { return p_; }
  // Hands the reference out: for a return from an entry or a stealing call.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // Drops the reference now (the object may run Python code as it goes).
  void reset() noexcept { *this = Ref(); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace brackwell::binding
