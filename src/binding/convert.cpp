#include "binding/convert.h"

#if defined(_WIN32)
#include "common/win32.h"
#else
#include <dlfcn.h>
#endif

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "binding/free_threading.h"
#include "binding/messages.h"
#include "binding/process_state.h"
#include "common/try_reserve.h"

// A float's text is written here with std::to_chars, except against Apple's C++ library,
// whose floating-point to_chars needs macOS 13.3.
#if defined(__APPLE__)
#define BRACKWELL_FLOAT_TEXT 0
#else
#define BRACKWELL_FLOAT_TEXT 1
#endif

namespace brackwell::binding {
namespace {

// PyUnicode_AsUTF8AndSize joined the stable ABI in 3.10. It is looked up at run time so
// that the module still loads on 3.9 and imports nothing beyond the 3.9 stable ABI;
// there the text goes through a temporary bytes object instead.
detail::AsUtf8AndSize resolve_as_utf8_and_size() noexcept {
  int major = 0, minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return nullptr;
  if (major < 3 || (major == 3 && minor < 10)) return nullptr;
#if defined(_WIN32)
  // Look in the DLL that provides the interpreter's own functions.
  HMODULE python = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&Py_GetVersion), &python))
    return nullptr;
  return reinterpret_cast<detail::AsUtf8AndSize>(
      reinterpret_cast<void*>(GetProcAddress(python, "PyUnicode_AsUTF8AndSize")));
#else
  return reinterpret_cast<detail::AsUtf8AndSize>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
#endif
}

// Items above this count are not reserved up front from a sequence's reported length:
// a length that large is more likely a lie than a real column list.
constexpr Py_ssize_t kMaxReservedHint = Py_ssize_t{1} << 24;

// The length a sequence reports, as a number of items worth reserving: 0 when it
// reports none, or one too large to be believed.
std::size_t length_hint(PyObject* sequence) {
  const Py_ssize_t hint = PySequence_Size(sequence);
  if (hint < 0) {
    clear_unless_panic();
    return 0;
  }
  return hint > kMaxReservedHint ? 0 : std::size_t(hint);
}

// Calls `each` on every item of a sequence, in order: by index for an exact list or
// tuple, else through iteration. A conversion that succeeds runs no Python code, so the
// list keeps its size; one that fails (raising may collect garbage, and a finalizer may
// empty the list) ends the walk, and the item in hand is owned until then.
template <class Each>
void for_each_item(PyObject* sequence, Each&& each) {
  if (PyList_CheckExact(sequence)) {
    // Without the interpreter lock, the list's section for the whole walk keeps other
    // threads from changing it between items. A wait inside (a str's UTF-8, made on first
    // use, takes a section of the str's own) may still let one in: at most the starting
    // length is read, and a list that shrank gives its IndexError.
    const CriticalSection section{sequence};
    ListItems items(sequence);
    for (Py_ssize_t i = 0; i < items.size(); ++i) {
      const Ref item = items.at_or_raise(sequence, i);
      each(item.get());
    }
    return;
  }
  if (PyTuple_CheckExact(sequence)) {
    const Py_ssize_t size = PyTuple_Size(sequence);
    for (Py_ssize_t i = 0; i < size; ++i) {
      const Ref item = Ref::borrow(PyTuple_GetItem(sequence, i));
      each(item.get());
    }
    return;
  }
  Ref iterator = owned(PyObject_GetIter(sequence));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) each(item.get());
  if (PyErr_Occurred()) throw PyError::fetch();
}

void check_list_argument(PyObject* obj) {
  if (PyUnicode_Check(obj)) throw PyError::make(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) throw conversion_error(obj, "Sequence");
}

// Sends the pending exception to the unraisable hook with `context`; a PanicException is
// thrown on as a Panic instead.
void report_unraisable(PyObject* context) {
  if (panic_pending()) throw PyError::fetch();
  PyErr_WriteUnraisable(context);
}

// The text shown for an object whose str() raised: "<unprintable {} object>" with the
// str() of its type's __name__, which has no fallback of its own. When the name cannot be
// read or shown, that failure goes to the unraisable hook too and the text is
// "<unprintable object>".
std::string fallback_display_text(PyObject* obj) {
  // Owned: a metaclass's attribute lookup may drop the last reference to the type.
  const Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  const Ref name = Ref::steal(PyObject_GetAttrString(type.get(), "__name__"));
  if (!name) {
    report_unraisable(type.get());
    return "<unprintable object>";
  }
  const Ref shown = Ref::steal(PyObject_Str(name.get()));
  if (!shown) {
    report_unraisable(name.get());
    return "<unprintable object>";
  }
  return "<unprintable " + lossy_utf8(shown.get()) + " object>";
}

PyObject* sequence_abc() {
  return publish_once(process_state.sequence_abc, []() -> PyObject* {
    Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
    return module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr;
  });
}

}  // namespace

std::string type_qualname(PyObject* obj) {
  // Owned: a metaclass's attribute lookup may drop the last reference to obj.
  const Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  Ref name = Ref::steal(PyObject_GetAttrString(type.get(), "__qualname__"));
  Utf8 text;
  if (name && PyUnicode_Check(name.get()) && utf8_view(name.get(), text)) {
    return std::string(text.view);
  }
  clear_unless_panic();
  return "<failed to extract type name>";
}

PyError conversion_error(PyObject* obj, std::string_view target) {
  return PyError::make(PyExc_TypeError, cannot_convert(type_qualname(obj), target));
}

namespace detail {

// Resolved when the shared object is loaded, with the interpreter already running.
const AsUtf8AndSize as_utf8_and_size = resolve_as_utf8_and_size();

bool utf8_via_bytes(PyObject* str, std::string_view& out, Ref& keep) noexcept {
  Ref bytes = Ref::steal(PyUnicode_AsUTF8String(str));
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
  out = std::string_view(data, std::size_t(size));
  keep = std::move(bytes);
  return true;
}

}  // namespace detail

Utf8 text_view(PyObject* obj) {
  if (!PyUnicode_Check(obj)) throw conversion_error(obj, "PyString");
  Utf8 text;  // filled in place: returned without a copy
  if (!utf8_view(obj, text)) throw PyError::fetch();
  return text;
}

std::string to_text(PyObject* obj) {
  return std::string(text_view(obj).view);
}

std::string lossy_utf8(PyObject* str) {
  Utf8 text;
  if (utf8_view(str, text)) return std::string(text.view);
  clear_unless_panic();
  // Lone surrogates: encode them as they are, then let the decoder replace each byte
  // sequence that is not valid UTF-8.
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) {
    clear_unless_panic();
    return {};
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes.get(), &data, &size);
  Ref repaired = Ref::steal(PyUnicode_DecodeUTF8(data, size, "replace"));
  if (!repaired || !utf8_view(repaired, text)) {
    clear_unless_panic();
    return {};
  }
  return std::string(text.view);
}

namespace {

#if BRACKWELL_FLOAT_TEXT
// A float's str() as the interpreter writes it: the shortest digits that read back as the
// same double, in fixed notation when the decimal point falls 4 places left to 16 places
// right of the first digit ("0.0001", "1000000000000000.0", with ".0" added to a whole
// number), else d.ddde+XX ("1e-05", "1.5e+16"). Writes at most 24 bytes into `out`;
// returns how many.
std::size_t float_text(double value, char* out) {
  if (std::isnan(value)) {  // the sign of a NaN is not shown
    std::memcpy(out, "nan", 3);
    return 3;
  }
  // [-]d[.ddd]e(+|-)dd[d]: the digits and exponent the fixed form is laid out from
  char scientific[32];
  const char* end = std::to_chars(scientific, scientific + sizeof scientific, value,
                                  std::chars_format::scientific)
                        .ptr;
  const std::string_view text(scientific, std::size_t(end - scientific));
  const std::size_t e = text.find('e');
  if (e == std::string_view::npos) {  // inf, -inf
    std::memcpy(out, text.data(), text.size());
    return text.size();
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);
  if (exponent < -4 || exponent > 15) {  // the same form as the interpreter's
    std::memcpy(out, text.data(), text.size());
    return text.size();
  }
  char* cursor = out;
  const bool negative = text[0] == '-';
  if (negative) *cursor++ = '-';
  char digits[20];
  std::size_t count = 0;
  for (char c : text.substr(negative, e - negative)) {
    if (c != '.') digits[count++] = c;
  }
  const auto put_digits = [&cursor, &digits](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) *cursor++ = digits[i];
  };
  const std::size_t whole = exponent < 0 ? 0 : std::size_t(exponent) + 1;
  if (exponent < 0) {
    *cursor++ = '0';
    *cursor++ = '.';
    for (int i = -1; i > exponent; --i) *cursor++ = '0';
    put_digits(0, count);
  } else if (whole >= count) {
    put_digits(0, count);
    for (std::size_t i = count; i < whole; ++i) *cursor++ = '0';
    *cursor++ = '.';
    *cursor++ = '0';
  } else {
    put_digits(0, whole);
    *cursor++ = '.';
    put_digits(whole, count);
  }
  return std::size_t(cursor - out);
}
#endif

// The display text of the values whose str() is made without running Python code: false,
// with nothing pending, for every other value and when making it raised (raising can
// collect garbage, which runs finalizers).
bool native_display_text(PyObject* obj, std::string_view& view, Utf8& source, char* digits,
                         std::size_t digits_size) {
  if (obj == Py_None) {
    view = "None";
  } else if (obj == Py_True) {
    view = "True";
  } else if (obj == Py_False) {
    view = "False";
  } else if (PyLong_CheckExact(obj)) {
    const std::optional<std::int64_t> value = int64_value(obj);
    if (!value) return false;
    view = std::string_view(
        digits, std::size_t(std::to_chars(digits, digits + digits_size, *value).ptr - digits));
  } else if (PyFloat_CheckExact(obj)) {
#if BRACKWELL_FLOAT_TEXT
    view = std::string_view(digits, float_text(PyFloat_AsDouble(obj), digits));
#else
    // The interpreter's str() of a float is native code too, only slower.
    Ref text = Ref::steal(PyObject_Str(obj));
    if (!text || !utf8_view(text, source)) {
      clear_unless_panic();  // no memory: the general path decides
      return false;
    }
    view = source.view;
#endif
  } else if (PyUnicode_CheckExact(obj)) {
    if (!utf8_view(obj, source)) {
      clear_unless_panic();  // a lone surrogate, or no memory: the general path decides
      return false;
    }
    view = source.view;
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool display_text(PyObject* obj, DisplayText& out) {
  if (native_display_text(obj, out.view, out.source_, out.digits_, sizeof out.digits_)) {
    return false;
  }
  const Ref owner = Ref::borrow(obj);  // str() may drop every other reference to obj
  Ref str = Ref::steal(PyObject_Str(obj));
  if (!str) {
    report_unraisable(obj);
    out.owned_ = fallback_display_text(obj);
  } else {
    out.owned_ = lossy_utf8(str.get());
  }
  out.view = out.owned_;
  return true;
}

std::string display_text(PyObject* obj) {
  DisplayText text;
  display_text(obj, text);
  return std::string(text.view);
}

std::int64_t to_i64(PyObject* obj) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = owned(PyNumber_Index(obj));
    obj = index.get();
  }
  if constexpr (sizeof(long) == sizeof(std::int64_t)) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) throw PyError::fetch();
    return value;
  } else {
    // A 32-bit long (Windows): convert with long long, and overflow says what
    // PyLong_AsLong says elsewhere.
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
      throw PyError::make(PyExc_OverflowError, "Python int too large to convert to C long");
    }
    if (value == -1 && PyErr_Occurred()) throw PyError::fetch();
    return value;
  }
}

std::uint64_t to_u64(PyObject* obj) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = owned(PyNumber_Index(obj));
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyError::fetch();
  return value;
}

namespace {

// True when obj's type is numpy's boolean scalar type.
bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name) {
    clear_unless_panic();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

bool numpy_bool_value(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref method = Ref::steal(PyObject_GetAttrString(type, "__bool__"));
  if (!method) {
    clear_unless_panic();
    Ref type_text = owned(PyObject_Str(type));
    throw PyError::make(PyExc_TypeError, "object of type '" + lossy_utf8(type_text.get()) +
                                             "' does not define a '__bool__' conversion");
  }
  Ref result = owned(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
  if (result.get() == Py_True) return true;
  if (result.get() == Py_False) return false;
  throw conversion_error(result.get(), "PyBool");
}

}  // namespace

bool to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (is_numpy_bool(obj)) return numpy_bool_value(obj);
  throw conversion_error(obj, "PyBool");
}

template <std::size_t N>
void TextRows<N>::read(PyObject* obj) {
  check_list_argument(obj);
  const std::size_t hint = length_hint(obj);
  common::try_reserve(rows_, hint);
  common::try_reserve(keep_, N * hint);
  for_each_item(obj, [this](PyObject* item) { read_item(item); });
}

template <std::size_t N>
void TextRows<N>::read_item(PyObject* item) {
  if constexpr (N == 1) {
    Utf8 text = text_view(item);
    keep_.push_back(std::move(text.keep));
    rows_.push_back(text.view);
  } else {
    if (!PyTuple_Check(item)) throw conversion_error(item, "PyTuple");
    const std::size_t size = std::size_t(PyTuple_Size(item));
    if (size != N) throw PyError::make(PyExc_ValueError, wrong_tuple_length(N, size));
    // The tuple, held, keeps its elements: only a bytes object made for a view is kept too.
    keep_.push_back(Ref::borrow(item));
    Row row;
    for (std::size_t i = 0; i < N; ++i) {
      PyObject* element = PyTuple_GetItem(item, Py_ssize_t(i));
      if (!PyUnicode_Check(element)) throw conversion_error(element, "PyString");
      Utf8 text;
      if (!utf8_view_of_held(element, text)) throw PyError::fetch();
      if (text.keep) keep_.push_back(std::move(text.keep));
      row[i] = text.view;
    }
    rows_.push_back(row);
  }
}

template class TextRows<1>;
template class TextRows<2>;
template class TextRows<3>;

bool is_sequence(PyObject* obj) {
  if (PyList_Check(obj) || PyTuple_Check(obj)) return true;
  PyObject* abc = sequence_abc();
  const int result = abc ? PyObject_IsInstance(obj, abc) : -1;
  if (result < 0) {
    if (panic_pending()) throw PyError::fetch();
    PyErr_WriteUnraisable(obj);
    return false;
  }
  return result == 1;
}

PyObject* require_dict(PyObject* obj) {
  if (!PyDict_Check(obj)) throw conversion_error(obj, "PyDict");
  return obj;
}

Ref to_int(std::int64_t value) {
  return created(PyLong_FromLongLong(value));
}
Ref to_uint(std::uint64_t value) {
  return created(PyLong_FromUnsignedLongLong(value));
}
Ref to_float(double value) {
  return created(PyFloat_FromDouble(value));
}
Ref to_bool_object(bool value) {
  return Ref::borrow(value ? Py_True : Py_False);
}
Ref none() {
  return Ref::borrow(Py_None);
}
Ref new_list(std::size_t size) {
  return created(PyList_New(Py_ssize_t(size)));
}

Ref pair(Ref first, Ref second) {
  Ref tuple = created(PyTuple_New(2));
  PyTuple_SetItem(tuple.get(), 0, first.release());
  PyTuple_SetItem(tuple.get(), 1, second.release());
  return tuple;
}

}  // namespace brackwell::binding
