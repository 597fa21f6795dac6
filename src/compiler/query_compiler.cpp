// QueryCompiler's Python face: binds, holds and converts the arguments of each method,
// calls the statement builders and turns their text into Python objects.
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/instance.h"
#include "binding/method.h"
#include "compiler/dialect.h"
#include "compiler/statements.h"

namespace brackwell::compiler {
namespace {

using namespace brackwell::binding;

struct QueryCompilerRecord {};  // the class has no state
using Object = Instance<QueryCompilerRecord>;

module::ClassDef& class_def();

// Views of `str`'s UTF-8 for the core, appended to `out`. The view lives in the str itself
// (3.10 and later) or in a bytes object, which is then added to `keep`. False, with no
// error pending, when `str` is not a str: the general conversion then reports it with its
// exact message. A str that cannot be encoded raises its error here, as the general
// conversion would at the same item: reading the list again instead would see whatever
// the finalizers run by that error left in it.
bool view_text(PyObject* str, std::string_view& out, std::pmr::vector<Ref>& keep) {
  if (!PyUnicode_Check(str)) return false;
  Ref bytes;
  if (!utf8_view(str, out, bytes)) throw PyError::fetch();
  if (bytes) keep.push_back(std::move(bytes));
  return true;
}

// The texts of a list-of-texts argument as views. An exact list or tuple of str is read
// in place, each str held in `keep` (converting a later argument may run Python code that
// empties the list); anything else goes through the general conversion into `copies`.
struct TextList {
  explicit TextList(std::pmr::memory_resource* memory) : views(memory), keep(memory) {}
  std::pmr::vector<std::string_view> views;
  std::pmr::vector<Ref> keep;
  std::vector<std::string> copies;

  bool read_in_place(PyObject* obj) {
    const bool is_list = PyList_CheckExact(obj);
    if (!is_list && !PyTuple_CheckExact(obj)) return false;
    const Py_ssize_t size = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
    views.resize(std::size_t(size));
    keep.reserve(std::size_t(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
      const std::size_t kept = keep.size();
      if (!view_text(item, views[std::size_t(i)], keep)) return false;
      if (keep.size() == kept) keep.push_back(Ref::borrow(item));
    }
    return true;
  }

  void convert(PyObject* obj) {
    if (read_in_place(obj)) return;
    views.clear();
    keep.clear();
    copies = to_text_list(obj);
    views.assign(copies.begin(), copies.end());
  }
};

// The same for a list of N-tuples of texts: in place, each tuple is held (its items with
// it); otherwise through the general conversion.
template <std::size_t N>
struct TupleList {
  explicit TupleList(std::pmr::memory_resource* memory) : rows(memory), keep(memory) {}
  std::pmr::vector<std::array<std::string_view, N>> rows;
  std::pmr::vector<Ref> keep;
  std::vector<std::array<std::string, N>> copies;

  bool read_in_place(PyObject* obj) {
    const bool is_list = PyList_CheckExact(obj);
    if (!is_list && !PyTuple_CheckExact(obj)) return false;
    const Py_ssize_t size = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
    rows.resize(std::size_t(size));
    keep.reserve(std::size_t(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
      if (!PyTuple_Check(item) || PyTuple_Size(item) != Py_ssize_t(N)) return false;
      keep.push_back(Ref::borrow(item));
      for (std::size_t j = 0; j < N; ++j) {
        if (!view_text(PyTuple_GetItem(item, Py_ssize_t(j)), rows[std::size_t(i)][j], keep)) {
          return false;
        }
      }
    }
    return true;
  }

  void convert(PyObject* obj) {
    if (read_in_place(obj)) return;
    rows.clear();
    keep.clear();
    copies = to_text_tuples<N>(obj);
    rows.resize(copies.size());
    for (std::size_t i = 0; i < copies.size(); ++i) {
      for (std::size_t j = 0; j < N; ++j) rows[i][j] = copies[i][j];
    }
  }
};

// Room on the stack for the views and references of a call's list arguments; larger
// lists spill to the heap.
class CallMemory {
 public:
  std::pmr::memory_resource* get() noexcept { return &pool_; }

 private:
  alignas(std::max_align_t) std::byte buffer_[2048];
  std::pmr::monotonic_buffer_resource pool_{buffer_, sizeof buffer_};
};

// Converts bound slot `i` into `list` (a TextList or TupleList), with the argument prefix
// on a TypeError.
template <class List>
void convert_list(const Bound& bound, std::size_t i, List& list) {
  argument(bound, i, [&](PyObject* obj) { list.convert(obj); });
}

constexpr std::string_view kPlaceholderNames[] = {"dialect", "index"};
constexpr Params kGetPlaceholder{"QueryCompiler", "get_placeholder", kPlaceholderNames, 2};

PyObject* get_placeholder(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kGetPlaceholder, args, kwargs);
    SharedHold hold{instance_of<QueryCompilerRecord>(self, class_def()).counter};
    // Recognised at once: converting the index may run Python code (__index__).
    const Dialect dialect = parse_dialect(argument(bound, 0, text_view).view);
    const std::uint64_t index = argument(bound, 1, to_u64);
    return to_str(placeholder(dialect.style, index));
  });
}

constexpr std::string_view kSelectNames[] = {"table",    "columns", "wheres", "joins",
                                             "order_by", "limit",   "offset", "dialect"};
constexpr Params kCompileSelect{"QueryCompiler", "compile_select", kSelectNames, 5};

std::optional<std::uint64_t> optional_u64(const Bound& bound, std::size_t i) {
  if (!bound.has(i) || bound[i] == Py_None) return std::nullopt;
  return argument(bound, i, to_u64);
}

// The full upper case of a text that is not pure ASCII ("ß" gives "SS"), as the running
// interpreter's str.upper computes it; ASCII texts are left to the core.
std::string unicode_upper(std::string_view text) {
  Ref str = created(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
  Ref upper = owned(PyObject_CallMethod(str.get(), "upper", nullptr));
  return to_text(upper.get());
}

PyObject* compile_select(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kCompileSelect, args, kwargs);
    SharedHold hold{instance_of<QueryCompilerRecord>(self, class_def()).counter};
    // A copy: converting the sequences that follow may run Python code.
    const std::string table = argument(bound, 0, to_text);
    CallMemory memory;
    TextList columns{memory.get()};
    convert_list(bound, 1, columns);
    TupleList<3> wheres{memory.get()}, joins{memory.get()};
    convert_list(bound, 2, wheres);
    convert_list(bound, 3, joins);
    TupleList<2> order_by{memory.get()};
    convert_list(bound, 4, order_by);
    const auto limit = optional_u64(bound, 5);
    const auto offset = optional_u64(bound, 6);
    const Dialect dialect =
        bound.has(7) ? parse_dialect(argument(bound, 7, text_view).view) : Dialect{};

    // Upper-cased here, owned by `upper`, sized first so that no view moves.
    std::vector<std::string> upper;
    std::size_t non_ascii = 0;
    for (const TextTriple& join : joins.rows) non_ascii += !is_ascii(join[0]);
    for (const TextPair& item : order_by.rows) non_ascii += !is_ascii(item[1]);
    if (non_ascii) {
      upper.reserve(non_ascii);
      for (TextTriple& join : joins.rows) {
        if (!is_ascii(join[0])) join[0] = upper.emplace_back(unicode_upper(join[0]));
      }
      for (TextPair& item : order_by.rows) {
        if (!is_ascii(item[1])) item[1] = upper.emplace_back(unicode_upper(item[1]));
      }
    }

    Ref sql = to_str(select_statement(
        {table, columns.views, wheres.rows, joins.rows, order_by.rows, limit, offset, dialect}));
    Ref values = new_list(wheres.rows.size());
    for (std::size_t i = 0; i < wheres.rows.size(); ++i) {
      set_list_item(values.get(), i, to_str(wheres.rows[i][2]));
    }
    return pair(std::move(sql), std::move(values));
  });
}

constexpr std::string_view kInsertNames[] = {"table", "columns", "dialect"};
constexpr Params kCompileInsert{"QueryCompiler", "compile_insert", kInsertNames, 3};

PyObject* compile_insert(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kCompileInsert, args, kwargs);
    SharedHold hold{instance_of<QueryCompilerRecord>(self, class_def()).counter};
    // A copy: converting the sequences that follow may run Python code.
    const std::string table = argument(bound, 0, to_text);
    CallMemory memory;
    TextList columns{memory.get()};
    convert_list(bound, 1, columns);
    const Utf8 dialect = argument(bound, 2, text_view);
    return to_str(insert_statement(table, columns.views, parse_dialect(dialect.view)));
  });
}

constexpr std::string_view kUpdateNames[] = {"table", "columns", "pk_col", "dialect"};
constexpr Params kCompileUpdate{"QueryCompiler", "compile_update", kUpdateNames, 4};

PyObject* compile_update(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kCompileUpdate, args, kwargs);
    SharedHold hold{instance_of<QueryCompilerRecord>(self, class_def()).counter};
    // A copy: converting the sequences that follow may run Python code.
    const std::string table = argument(bound, 0, to_text);
    CallMemory memory;
    TextList columns{memory.get()};
    convert_list(bound, 1, columns);
    const Utf8 pk_col = argument(bound, 2, text_view);
    const Utf8 dialect = argument(bound, 3, text_view);
    return to_str(update_statement(table, columns.views, pk_col.view, parse_dialect(dialect.view)));
  });
}

constexpr std::string_view kDeleteNames[] = {"table", "pk_col", "dialect"};
constexpr Params kCompileDelete{"QueryCompiler", "compile_delete", kDeleteNames, 3};

PyObject* compile_delete(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kCompileDelete, args, kwargs);
    SharedHold hold{instance_of<QueryCompilerRecord>(self, class_def()).counter};
    const Utf8 table = argument(bound, 0, text_view);
    const Utf8 pk_col = argument(bound, 1, text_view);
    const Utf8 dialect = argument(bound, 2, text_view);
    return to_str(delete_statement(table.view, pk_col.view, parse_dialect(dialect.view)));
  });
}

constexpr Params kNew{"QueryCompiler", "__new__", {}, 0};

PyMethodDef kMethods[] = {
    method("get_placeholder", get_placeholder,
           "get_placeholder($self, dialect, index)\n--\n\nFormats placeholder based on database "
           "dialect: sqlite (?), postgres ($N), mysql (%s)"),
    method("compile_select", compile_select,
           "compile_select($self, table, columns, wheres, joins, order_by, limit=None, "
           "offset=None, dialect=\"sqlite\")\n--\n\nCompiles SELECT query with pre-allocated "
           "buffer"),
    method("compile_insert", compile_insert,
           "compile_insert($self, table, columns, dialect)\n--\n\nCompiles INSERT query with "
           "pre-allocated buffer"),
    method("compile_update", compile_update,
           "compile_update($self, table, columns, pk_col, dialect)\n--\n\nCompiles UPDATE query "
           "with pre-allocated buffer"),
    method("compile_delete", compile_delete,
           "compile_delete($self, table, pk_col, dialect)\n--\n\nCompiles DELETE query"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("QueryCompiler()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(instance_new<QueryCompilerRecord, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<QueryCompilerRecord>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.QueryCompiler", sizeof(Object), 0, Py_TPFLAGS_DEFAULT, kSlots};

module::ClassDef& class_def() {
  static module::ClassDef def{"QueryCompiler", kSpec};
  return def;
}

}  // namespace
}  // namespace brackwell::compiler

namespace brackwell::module {
ClassDef& query_compiler_class() {
  return compiler::class_def();
}
}  // namespace brackwell::module
