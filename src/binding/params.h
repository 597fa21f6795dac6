// Argument binding. Each method has one constexpr Params record beside its entry;
// bind() places the call's arguments in slots by position and keyword (borrowed, nothing
// converted) and raises the binding TypeErrors; argument() converts one slot and gives a
// TypeError from the conversion the "argument '...': " prefix.
#pragma once

#include <Python.h>

#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "binding/error.h"
#include "binding/ref.h"

namespace brackwell::binding {

// The parameters of one method or constructor: all positional-or-keyword, the first
// `required` of them without a default.
struct Params {
  std::string_view owner;
  std::string_view function;
  std::span<const std::string_view> names;
  std::size_t required;
};

// The bound arguments of one call, nullptr where omitted. Positional ones are borrowed
// from the call's tuple, which nothing can change; keyword ones are owned, since Python
// code run during the call could change a keyword dict that its caller kept.
class Bound {
 public:
  static constexpr std::size_t kMaxParams = 8;
  explicit Bound(const Params& params) : params_(params) {}
  PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }
  bool has(std::size_t i) const noexcept { return slots_[i] != nullptr; }
  const Params& params() const noexcept { return params_; }

 private:
  friend Bound bind(const Params&, PyObject*, PyObject*);
  friend void bind_any(Bound&, PyObject*, PyObject*);
  const Params& params_;
  std::array<PyObject*, kMaxParams> slots_{};
  // Made only for a call with keywords, so that a positional call pays nothing for it.
  std::optional<std::array<Ref, kMaxParams>> keyword_values_;
};

// Binds a positional tuple and an optional keyword dict into the empty `bound`. Throws
// PyError (TypeError) for surplus positionals (checked first), a repeated or unknown
// keyword (the first offending one, in dict order), then missing required parameters.
void bind_any(Bound& bound, PyObject* args, PyObject* kwargs);

// The same, with the usual call (every parameter by position, no keywords) bound inline.
// One named result on every path, so that it is built in the caller's frame: returning
// another object on one path makes the compiler copy the slots on all of them, and that
// copy reads them back wider than they were just written, which stalls the processor.
inline Bound bind(const Params& params, PyObject* args, PyObject* kwargs) {
  Bound bound(params);
  if (kwargs || !args || std::size_t(PyTuple_Size(args)) != params.names.size()) {
    bind_any(bound, args, kwargs);
  } else {
    for (std::size_t i = 0; i < params.names.size(); ++i) {
      bound.slots_[i] = PyTuple_GetItem(args, Py_ssize_t(i));
    }
  }
  return bound;
}

// `error`, a TypeError, as "argument '{parameter}': {message}" with its __cause__ kept.
PyError with_argument_prefix(std::string_view parameter, const PyError& error);

// Converts bound slot `i` with `convert`; a TypeError (exactly) gets the argument prefix,
// every other failure passes unchanged.
template <class Convert>
auto argument(const Bound& bound, std::size_t i, Convert&& convert) -> decltype(convert(bound[i])) {
  try {
    return convert(bound[i]);
  } catch (PyError& error) {
    if (!error.is_exactly(PyExc_TypeError)) throw;
    throw with_argument_prefix(bound.params().names[i], error);
  }
}

}  // namespace brackwell::binding
