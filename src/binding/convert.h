// Conversions between Python objects and native values, with the exact refusal
// messages, plus the display text of any object and the builders of result objects.
// Converters throw PyError (or Panic); the try_/display_ helpers are for hot paths and
// report the ordinary failures they absorb without throwing.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/error.h"
#include "binding/ref.h"

namespace brackwell::binding {

// ---- type names and refusals ----

// The __qualname__ of obj's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);
// TypeError "'{qualname}' object cannot be converted to '{target}'".
PyError conversion_error(PyObject* obj, std::string_view target);

// ---- text ----

// The UTF-8 bytes of a str: a view into the str's own cache where the interpreter
// offers one, else into a bytes object kept alive by `keep`.
struct Utf8 {
  std::string_view view;
  Ref keep;
};

namespace detail {
// PyUnicode_AsUTF8AndSize where the running interpreter's stable ABI has it (3.10 on),
// looked up when the module loads; nullptr on 3.9.
using AsUtf8AndSize = const char* (*)(PyObject*, Py_ssize_t*);
extern const AsUtf8AndSize as_utf8_and_size;
// The 3.9 path: the text through a new bytes object, kept in `keep`.
bool utf8_via_bytes(PyObject* str, std::string_view& out, Ref& keep) noexcept;
}  // namespace detail

// Strict UTF-8 of a str (or subclass) into `out`, valid while the str lives (and `keep`,
// which is set only where the text needs a bytes object). False with the interpreter's
// error pending (UnicodeEncodeError for a lone surrogate). Never throws; inline because
// every text argument takes this path.
inline bool utf8_view(PyObject* str, std::string_view& out, Ref& keep) noexcept {
  if (detail::as_utf8_and_size) {
    Py_ssize_t size = 0;
    const char* data = detail::as_utf8_and_size(str, &size);
    if (!data) return false;
    out = std::string_view(data, std::size_t(size));
    return true;
  }
  return detail::utf8_via_bytes(str, out, keep);
}

// The same as an optional Utf8; nullopt with the error pending.
std::optional<Utf8> try_utf8(PyObject* str) noexcept;

// Text conversion: a str or subclass, strictly encoded. Refuses other types ("PyString").
std::string to_text(PyObject* obj);
// The same as a view that lives as long as the returned Utf8 and `obj`.
Utf8 text_view(PyObject* obj);

// The UTF-8 of a str with lone surrogates replaced (three U+FFFD each). Never fails
// except by Panic; an empty text if the interpreter itself fails.
std::string lossy_utf8(PyObject* str);

// The display text of any object: its str() as valid UTF-8, computed natively for
// exact str, int, bool and None. When str() raises, the exception goes to the
// unraisable hook and the text is "<unprintable {type name} object>". Only a
// PanicException raised by Python code escapes (as Panic).
std::string display_text(PyObject* obj);
// The same, and whether Python code may have run meanwhile: false only for None, True,
// False, an exact int in 64 bits, an exact float and an exact str of valid UTF-8.
std::string display_text(PyObject* obj, bool& ran_code);

// ---- numbers and booleans ----

// Signed 64-bit: an int or subclass, else through __index__. TypeError / OverflowError.
std::int64_t to_i64(PyObject* obj);
// Unsigned 64-bit, same paths; negative or too large values raise OverflowError.
std::uint64_t to_u64(PyObject* obj);
// True or False, or a numpy boolean through its type's __bool__; else "PyBool".
bool to_bool(PyObject* obj);

// ---- containers ----

// A sequence of str, not itself a str. "Can't extract `str` to `Vec`" for a str,
// "Sequence" for a non-sequence; items converted in order with to_text.
std::vector<std::string> to_text_list(PyObject* obj);
// A sequence of tuples of exactly N str each (list of pairs or triples).
template <std::size_t N>
std::vector<std::array<std::string, N>> to_text_tuples(PyObject* obj);
extern template std::vector<std::array<std::string, 2>> to_text_tuples<2>(PyObject*);
extern template std::vector<std::array<std::string, 3>> to_text_tuples<3>(PyObject*);

// A list, a tuple, or an instance of collections.abc.Sequence (type test only). An
// error in the instance test goes to the unraisable hook and counts as "no".
bool is_sequence(PyObject* obj);
// Refuses anything but a dict or subclass ("PyDict"); returns obj.
PyObject* require_dict(PyObject* obj);

// ---- results ----

Ref to_str(std::string_view text);
Ref to_int(std::int64_t value);
Ref to_uint(std::uint64_t value);
Ref to_float(double value);
Ref to_bool_object(bool value);
Ref none();
// A new list of exactly `size` slots, to be filled with set_item.
Ref new_list(std::size_t size);
// Stores `item` at `index` of a new list or tuple (steals the item).
void set_list_item(PyObject* list, std::size_t index, Ref item);
Ref pair(Ref first, Ref second);
// A list of str from native texts, built at its final length.
template <class Texts>
Ref to_str_list(const Texts& texts) {
  Ref list = new_list(texts.size());
  std::size_t i = 0;
  for (const auto& text : texts) set_list_item(list.get(), i++, to_str(text));
  return list;
}

}  // namespace brackwell::binding
