// QueryCompiler's Python face: binds, holds and converts the arguments of each method,
// calls the statement builders and turns their text into Python objects.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// Replaces a text that is not pure ASCII by its full upper case ("ß" gives "SS"), as the
// running interpreter's str.upper computes it; ASCII texts are left for the core.
void upper_case_non_ascii(std::string& text) {
  if (is_ascii(text)) return;
  Ref str = created(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
  Ref upper = owned(PyObject_CallMethod(str.get(), "upper", nullptr));
  text = to_text(upper.get());
}

PyObject* compile_select(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kCompileSelect, args, kwargs);
    SharedHold hold{instance_of<QueryCompilerRecord>(self, class_def()).counter};
    // A copy: converting the sequences that follow may run Python code.
    const std::string table = argument(bound, 0, to_text);
    const auto columns = argument(bound, 1, to_text_list);
    const auto wheres = argument(bound, 2, to_text_tuples<3>);
    auto joins = argument(bound, 3, to_text_tuples<3>);
    auto order_by = argument(bound, 4, to_text_tuples<2>);
    const auto limit = optional_u64(bound, 5);
    const auto offset = optional_u64(bound, 6);
    const Dialect dialect =
        bound.has(7) ? parse_dialect(argument(bound, 7, text_view).view) : Dialect{};
    for (TextTriple& join : joins) upper_case_non_ascii(join[0]);
    for (TextPair& item : order_by) upper_case_non_ascii(item[1]);

    Ref sql =
        to_str(select_statement({table, columns, wheres, joins, order_by, limit, offset, dialect}));
    Ref values = new_list(wheres.size());
    for (std::size_t i = 0; i < wheres.size(); ++i) {
      set_list_item(values.get(), i, to_str(wheres[i][2]));
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
    const auto columns = argument(bound, 1, to_text_list);
    const Utf8 dialect = argument(bound, 2, text_view);
    return to_str(insert_statement(table, columns, parse_dialect(dialect.view)));
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
    const auto columns = argument(bound, 1, to_text_list);
    const Utf8 pk_col = argument(bound, 2, text_view);
    const Utf8 dialect = argument(bound, 3, text_view);
    return to_str(update_statement(table, columns, pk_col.view, parse_dialect(dialect.view)));
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
