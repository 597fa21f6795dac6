// QueryCompiler's Python face: binds, holds and converts the arguments of each method,
// calls the statement builders and turns their text into Python objects.
#include "compiler/query_compiler.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/call_memory.h"
#include "binding/instance.h"
#include "binding/method.h"
#include "compiler/dialect.h"
#include "compiler/statements.h"

namespace brackwell::compiler {
namespace {

using namespace brackwell::binding;

// The class has no state and no method that needs an exclusive hold: nothing could
// refuse a shared one, so its calls take none, and one instance serves any number of
// threads at once without their calls writing to a shared word.
struct QueryCompilerRecord {};
using Object = Instance<QueryCompilerRecord>;

// Reads bound slot `i` into `rows`, with the argument prefix on a TypeError.
template <std::size_t N>
void read_list(const Bound& bound, std::size_t i, TextRows<N>& rows) {
  argument(bound, i, [&](PyObject* obj) { rows.read(obj); });
}

constexpr std::string_view kPlaceholderNames[] = {"dialect", "index"};
constexpr Params kGetPlaceholder{"QueryCompiler", "get_placeholder", kPlaceholderNames, 2};

PyObject* get_placeholder(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kGetPlaceholder, args, kwargs);
    instance_of<QueryCompilerRecord>(self, query_compiler_class());  // no hold: see the record
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
    instance_of<QueryCompilerRecord>(self, query_compiler_class());  // no hold: see the record
    // A copy: converting the sequences that follow may run Python code.
    const std::string table = argument(bound, 0, to_text);
    CallMemory memory;
    TextRows<1> columns{memory.get()};
    read_list(bound, 1, columns);
    TextRows<3> wheres{memory.get()}, joins{memory.get()};
    read_list(bound, 2, wheres);
    read_list(bound, 3, joins);
    TextRows<2> order_by{memory.get()};
    read_list(bound, 4, order_by);
    const auto limit = optional_u64(bound, 5);
    const auto offset = optional_u64(bound, 6);
    const Dialect dialect =
        bound.has(7) ? parse_dialect(argument(bound, 7, text_view).view) : Dialect{};

    // Upper-cased here, owned by `upper`, sized first so that no view moves.
    std::vector<std::string> upper;
    std::size_t non_ascii = 0;
    for (const TextTriple& join : joins.rows()) non_ascii += !is_ascii(join[0]);
    for (const TextPair& item : order_by.rows()) non_ascii += !is_ascii(item[1]);
    if (non_ascii) {
      upper.reserve(non_ascii);
      for (TextTriple& join : joins.rows()) {
        if (!is_ascii(join[0])) join[0] = upper.emplace_back(unicode_upper(join[0]));
      }
      for (TextPair& item : order_by.rows()) {
        if (!is_ascii(item[1])) item[1] = upper.emplace_back(unicode_upper(item[1]));
      }
    }

    Ref sql = to_str(select_statement({table, columns.rows(), wheres.rows(), joins.rows(),
                                       order_by.rows(), limit, offset, dialect}));
    Ref values = new_list(wheres.rows().size());
    for (std::size_t i = 0; i < wheres.rows().size(); ++i) {
      set_list_item(values.get(), i, to_str(wheres.rows()[i][2]));
    }
    return pair(std::move(sql), std::move(values));
  });
}

constexpr std::string_view kInsertNames[] = {"table", "columns", "dialect"};
constexpr Params kCompileInsert{"QueryCompiler", "compile_insert", kInsertNames, 3};

PyObject* compile_insert(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kCompileInsert, args, kwargs);
    instance_of<QueryCompilerRecord>(self, query_compiler_class());  // no hold: see the record
    // A copy: converting the sequences that follow may run Python code.
    const std::string table = argument(bound, 0, to_text);
    CallMemory memory;
    TextRows<1> columns{memory.get()};
    read_list(bound, 1, columns);
    const Utf8 dialect = argument(bound, 2, text_view);
    return to_str(insert_statement(table, columns.rows(), parse_dialect(dialect.view)));
  });
}

constexpr std::string_view kUpdateNames[] = {"table", "columns", "pk_col", "dialect"};
constexpr Params kCompileUpdate{"QueryCompiler", "compile_update", kUpdateNames, 4};

PyObject* compile_update(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kCompileUpdate, args, kwargs);
    instance_of<QueryCompilerRecord>(self, query_compiler_class());  // no hold: see the record
    // A copy: converting the sequences that follow may run Python code.
    const std::string table = argument(bound, 0, to_text);
    CallMemory memory;
    TextRows<1> columns{memory.get()};
    read_list(bound, 1, columns);
    const Utf8 pk_col = argument(bound, 2, text_view);
    const Utf8 dialect = argument(bound, 3, text_view);
    return to_str(
        update_statement(table, columns.rows(), pk_col.view, parse_dialect(dialect.view)));
  });
}

constexpr std::string_view kDeleteNames[] = {"table", "pk_col", "dialect"};
constexpr Params kCompileDelete{"QueryCompiler", "compile_delete", kDeleteNames, 3};

PyObject* compile_delete(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kCompileDelete, args, kwargs);
    instance_of<QueryCompilerRecord>(self, query_compiler_class());  // no hold: see the record
    // The call holds its arguments, and reading a str runs no Python code: the views
    // stay valid without references of their own.
    const Utf8 table = argument(bound, 0, text_view_of_held);
    const Utf8 pk_col = argument(bound, 1, text_view_of_held);
    const Dialect dialect = parse_dialect(argument(bound, 2, text_view_of_held).view);
    return to_str_written(delete_statement_size(table.view, pk_col.view, dialect),
                          [&](std::span<char> out) {
                            write_delete_statement(out, table.view, pk_col.view, dialect);
                          });
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

PyType_Spec kSpec = {"builtins.QueryCompiler", binding::kBasicSize<QueryCompilerRecord>, 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

binding::ClassDef& query_compiler_class() {
  static binding::ClassDef def{"QueryCompiler", kSpec, binding::process_state.query_compiler_type};
  return def;
}

}  // namespace brackwell::compiler
