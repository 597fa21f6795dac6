// Conversions between Python objects and native values, with the exact refusal
// messages, plus the display text of any object and the builders of result objects.
// Converters throw PyError (or Panic); the try_/display_ helpers are for hot paths and
// report the ordinary failures they absorb without throwing.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "binding/abi.h"
#include "binding/error.h"
#include "binding/ref.h"

namespace brackwell::binding {

// ---- type names and refusals ----

// The __qualname__ of obj's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);
// TypeError "'{qualname}' object cannot be converted to '{target}'".
PyError conversion_error(PyObject* obj, std::string_view target);

// ---- text ----

// The one owner of a UTF-8 view: a str's strict UTF-8 bytes, and the reference that
// keeps them valid (the str itself where the interpreter keeps its UTF-8, 3.10 on; else
// the bytes object made from it). The view stays valid while the Utf8 lives, moved or
// not, whatever Python code runs meanwhile.
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

namespace detail {
// Whether a str is known to keep its UTF-8 already, so that asking for it cannot wait.
// Without the interpreter lock a str makes its UTF-8 on first use under a section of its
// own, which waits while another thread makes the same one, and a wait suspends every
// section the calling thread holds: other threads' calls then get into the instance it is
// in. A build for one interpreter reads the str's own fields; the abi3t interface has no
// way to ask (false), and there a str's first UTF-8 inside a call may still wait.
inline bool utf8_known_ready([[maybe_unused]] PyObject* str) noexcept {
#if !defined(Py_GIL_DISABLED)
  return true;
#elif BRACKWELL_ABI3T
  return false;
#else
  if (PyUnicode_IS_COMPACT_ASCII(str)) return true;  // the UTF-8 is the str's own data
  char** utf8 = &reinterpret_cast<PyCompactUnicodeObject*>(str)->utf8;
#if defined(_MSC_VER) && !defined(__clang__)
  char* made = *static_cast<char* volatile*>(utf8);  // an acquire load on x86-64
#else
  char* made = __atomic_load_n(utf8, __ATOMIC_ACQUIRE);
#endif
  return made != nullptr;
#endif
}
}  // namespace detail

// The strict UTF-8 of `str` (a str or subclass) that something the caller holds keeps
// alive and unchanged (an element of a tuple it owns) into `out`: `out.keep` is set only
// where the view needs a bytes object (3.9, or a str whose UTF-8 is not made yet while
// this thread may hold sections: encoding into new bytes takes no section). False, with
// the interpreter's error pending (UnicodeEncodeError for a lone surrogate), when it
// cannot be encoded. Never throws.
inline bool utf8_view_of_held(PyObject* str, Utf8& out) noexcept {
  if (detail::as_utf8_and_size && (BRACKWELL_ABI3T || detail::utf8_known_ready(str))) {
    Py_ssize_t size = 0;
    const char* data = detail::as_utf8_and_size(str, &size);
    if (!data) return false;
    out.view = std::string_view(data, std::size_t(size));
    return true;
  }
  return detail::utf8_via_bytes(str, out.view, out.keep);
}

// The strict UTF-8 of `str` (a str or subclass, owned by the caller) into `out`. Where
// the str itself keeps the view, its reference moves from `str` into `out.keep`. False,
// with the interpreter's error pending (UnicodeEncodeError for a lone surrogate) and
// `str` still held, when it cannot be encoded. Never throws; inline because every text
// argument takes this path.
inline bool utf8_view(Ref& str, Utf8& out) noexcept {
  if (!utf8_view_of_held(str.get(), out)) return false;
  if (!out.keep) out.keep = std::move(str);  // the str keeps its UTF-8
  return true;
}

// Without the interpreter lock, makes the UTF-8 of an argument that is a str now, before
// the call's section is taken, so that reading it under the section cannot wait. A str
// that cannot be encoded is left for the conversion to refuse. Nothing with the lock.
inline void prepare_utf8([[maybe_unused]] PyObject* obj) noexcept {
#ifdef Py_GIL_DISABLED
  if (PyUnicode_Check(obj) && !detail::utf8_known_ready(obj) &&
      !detail::as_utf8_and_size(obj, nullptr)) {
    PyErr_Clear();
  }
#endif
}

// The same for a borrowed str, which `out` then holds a reference to.
inline bool utf8_view(PyObject* str, Utf8& out) noexcept {
  Ref owner = Ref::borrow(str);
  return utf8_view(owner, out);
}

// Text conversion: a str or subclass, strictly encoded. Refuses other types ("PyString").
std::string to_text(PyObject* obj);
// The same as a view, without a copy.
Utf8 text_view(PyObject* obj);
// The same for an object the caller keeps alive for as long as the view is used: no
// reference is taken (on 3.9 the result still keeps the bytes made for the view).
// Inline: every key of a loaded record takes this path.
inline Utf8 text_view_of_held(PyObject* obj) {
  if (!PyUnicode_Check(obj)) throw conversion_error(obj, "PyString");
  Utf8 text;
  if (!utf8_view_of_held(obj, text)) throw PyError::fetch();
  return text;
}

// The UTF-8 of a str with lone surrogates replaced (three U+FFFD each). Never fails
// except by Panic; an empty text if the interpreter itself fails.
std::string lossy_utf8(PyObject* str);

// The display text of any object: its str() as valid UTF-8, computed natively for
// exact str, int, bool and None. When str() raises, the exception goes to the
// unraisable hook and the text is "<unprintable {type name} object>". Only a
// PanicException raised by Python code escapes (as Panic).
std::string display_text(PyObject* obj);

// A display text viewed without a copy where it can be: a literal for None, True and
// False, digits made in place for an int or a float, a str's own UTF-8 (the str held).
// `view` may point into the object itself, so it is neither copied nor moved.
struct DisplayText {
  std::string_view view;
  DisplayText() = default;
  DisplayText(const DisplayText&) = delete;
  DisplayText& operator=(const DisplayText&) = delete;

 private:
  friend bool display_text(PyObject* obj, DisplayText& out);
  Utf8 source_;        // the str that `view` points into, when it does
  std::string owned_;  // a text made here, when `view` points into it
  char digits_[32];    // an int's or a float's digits, when `view` points into them
};

// The display text of `obj` into `out` (which must be fresh); returns whether Python code
// may have run meanwhile: false only for None, True, False, an exact int in 64 bits, an
// exact float and an exact str of valid UTF-8.
bool display_text(PyObject* obj, DisplayText& out);

// ---- numbers and booleans ----

// The value of an int (or subclass, bool included) when it fits in 64 bits; nullopt
// otherwise. Runs no Python code and leaves nothing pending.
inline std::optional<std::int64_t> int64_value(PyObject* int_obj) noexcept {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(int_obj, &overflow);
  if (overflow != 0) return std::nullopt;
  return value;
}

// Signed 64-bit: an int or subclass, else through __index__. TypeError / OverflowError.
std::int64_t to_i64(PyObject* obj);
// Unsigned 64-bit, same paths; negative or too large values raise OverflowError.
std::uint64_t to_u64(PyObject* obj);
// True or False, or a numpy boolean through its type's __bool__; else "PyBool".
bool to_bool(PyObject* obj);

// ---- containers ----

// The texts of a list argument, read for the core without copying: a sequence (not a
// str) of str when N is 1, else of N-tuples of str. Refusals: "Can't extract `str` to
// `Vec`" for a str, "Sequence" for a non-sequence, "PyString" for an item or element
// that is not a str, "PyTuple" for an item that is not a tuple, ValueError for a tuple of
// another length, and the error of a str that cannot be encoded. Exact lists and tuples
// are read by index, anything else through iteration; both convert each item the same
// way, in order, and the first failure ends the read. Each view stays valid while the
// reader lives: it holds what keeps the view valid.
template <std::size_t N>
class TextRows {
 public:
  using Row = std::conditional_t<N == 1, std::string_view, std::array<std::string_view, N>>;

  explicit TextRows(std::pmr::memory_resource* memory) : rows_(memory), keep_(memory) {}
  void read(PyObject* obj);
  // The rows read, in order; a caller may point a view at text of its own.
  std::span<Row> rows() noexcept { return rows_; }

 private:
  void read_item(PyObject* item);
  std::pmr::vector<Row> rows_;
  std::pmr::vector<Ref> keep_;
};
extern template class TextRows<1>;
extern template class TextRows<2>;
extern template class TextRows<3>;

// A list, a tuple, or an instance of collections.abc.Sequence (type test only). An
// error in the instance test goes to the unraisable hook and counts as "no".
bool is_sequence(PyObject* obj);
// Refuses anything but a dict or subclass ("PyDict"); returns obj.
PyObject* require_dict(PyObject* obj);

// ---- results ----

// Inline, as set_list_item below: result builders run once per item.
inline Ref to_str(std::string_view text) {
  return created(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}
Ref to_int(std::int64_t value);
Ref to_uint(std::uint64_t value);
Ref to_float(double value);
Ref to_bool_object(bool value);
Ref none();
// A new list of exactly `size` slots, to be filled with set_item.
Ref new_list(std::size_t size);
// Stores `item` at `index` of a new list or tuple (steals the item).
inline void set_list_item(PyObject* list, std::size_t index, Ref item) {
  if (PyList_SetItem(list, Py_ssize_t(index), item.release()) < 0) throw PyError::fetch();
}
Ref pair(Ref first, Ref second);
// A new str of the `size` UTF-8 bytes that `write(std::span<char>)` fills in: written on
// the stack when they fit, so that a short text costs no allocation besides the str.
template <class Write>
Ref to_str_written(std::size_t size, Write&& write) {
  constexpr std::size_t kOnStack = 256;
  if (size <= kOnStack) {
    char text[kOnStack];
    write(std::span<char>(text, size));
    return to_str(std::string_view(text, size));
  }
  std::string text(size, '\0');
  write(std::span<char>(text));
  return to_str(text);
}
// A list of str from native texts, built at its final length.
template <class Texts>
Ref to_str_list(const Texts& texts) {
  Ref list = new_list(texts.size());
  std::size_t i = 0;
  for (const auto& text : texts) set_list_item(list.get(), i++, to_str(text));
  return list;
}

}  // namespace brackwell::binding
