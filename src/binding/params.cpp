#include "binding/params.h"

#include <string>

#include "binding/convert.h"
#include "binding/free_threading.h"
#include "binding/messages.h"

namespace brackwell::binding {
namespace {

[[noreturn]] void binding_error(const std::string& message) {
  throw PyError::make(PyExc_TypeError, message);
}

std::string name_of(const Params& params) {
  return full_name(params.owner, params.function);
}

// Index of the parameter a keyword names, or -1. Exact, case-sensitive comparison.
Py_ssize_t parameter_index(const Params& params, PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) return -1;
  for (std::size_t i = 0; i < params.names.size(); ++i) {
    // Parameter names are NUL-terminated ASCII literals.
    if (PyUnicode_CompareWithASCIIString(keyword, params.names[i].data()) == 0) {
      return Py_ssize_t(i);
    }
  }
  return -1;
}

void bind_keywords(const Params& params, PyObject* kwargs, std::span<PyObject*> slots,
                   std::span<Ref> owners) {
  // The caller's own dict may arrive here (through the C API), which another thread may
  // change where there is no interpreter lock: it is read whole under its critical section,
  // which ends with the binding, and each value bound is taken as a reference. Nothing in
  // the walk runs Python code or waits, but for the display text of a refused keyword.
  const CriticalSection section{kwargs};
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    // Comparing a str key with the ASCII names runs no Python code.
    const Py_ssize_t index = parameter_index(params, key);
    if (index < 0) binding_error(unexpected_keyword(name_of(params), display_text(key)));
    if (slots[index]) binding_error(multiple_values(name_of(params), params.names[index]));
    slots[index] = value;
    owners[index] = Ref::borrow(value);
  }
}

void check_required(const Params& params, std::span<PyObject* const> slots) {
  std::array<std::string_view, Bound::kMaxParams> missing;
  std::size_t count = 0;
  for (std::size_t i = 0; i < params.required; ++i) {
    if (!slots[i]) missing[count++] = params.names[i];
  }
  if (count > 0) {
    binding_error(missing_required(name_of(params), std::span(missing.data(), count)));
  }
}

}  // namespace

void bind_any(Bound& bound, PyObject* args, PyObject* kwargs) {
  const Params& params = bound.params_;
  const std::size_t total = params.names.size();
  const std::size_t given = args ? std::size_t(PyTuple_Size(args)) : 0;
  if (given > total) {
    binding_error(too_many_positional(name_of(params), params.required, total, given));
  }
  for (std::size_t i = 0; i < given; ++i) {
    bound.slots_[i] = PyTuple_GetItem(args, Py_ssize_t(i));
  }
  if (kwargs && PyDict_Size(kwargs) > 0) {
    bind_keywords(params, kwargs, std::span(bound.slots_.data(), total),
                  std::span(bound.keyword_values_.emplace().data(), total));
  }
  if (given < params.required) check_required(params, bound.slots_);
}

PyError with_argument_prefix(std::string_view parameter, const PyError& error) {
  Ref text = Ref::steal(PyObject_Str(error.value()));
  std::string message;
  if (text) {
    message = lossy_utf8(text.get());
  } else {
    clear_unless_panic();
  }
  const std::string prefixed = argument_prefixed(parameter, message);
  Ref str = created(PyUnicode_FromStringAndSize(prefixed.data(), Py_ssize_t(prefixed.size())));
  Ref exception = owned(PyObject_CallFunctionObjArgs(PyExc_TypeError, str.get(), nullptr));
  // SetCause steals; a NULL cause still marks the context as suppressed.
  PyException_SetCause(exception.get(), PyException_GetCause(error.value()));
  return PyError::of(std::move(exception));
}

}  // namespace brackwell::binding
