// The only catch sites of the module. entry() runs a method, constructor or the module
// initialisation and returns a new reference, or NULL with exactly one exception set;
// dealloc_entry() runs a deallocation and sends any failure to the unraisable hook.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>

#include "binding/error.h"
#include "binding/ref.h"

namespace brackwell::binding {

// Turns the exception in flight into the interpreter's current exception.
inline void raise_current() noexcept {
  try {
    throw;
  } catch (PyError& error) {
    std::move(error).restore();
  } catch (const Panic& panic) {
    raise_panic(panic.message);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    raise_panic("capacity overflow");
  } catch (...) {
    raise_panic("unexpected C++ exception");
  }
}

// Runs `body`, which returns a Ref, and hands its reference to the interpreter.
template <class Body>
PyObject* entry(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    raise_current();
    return nullptr;
  }
}

// Runs the body of a deallocation: nothing can propagate from it.
template <class Body>
void dealloc_entry(PyObject* self, Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    raise_current();
    PyErr_WriteUnraisable(self);
  }
}

}  // namespace brackwell::binding
