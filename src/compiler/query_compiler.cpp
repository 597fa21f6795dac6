// QueryCompiler's Python face: binds, holds and converts the arguments of each method,
// calls the statement builders and turns their text into Python objects.
#include <string>
#include <string_view>

#include "binding/instance.h"
#include "binding/method.h"

namespace brackwell::compiler {
namespace {

using namespace brackwell::binding;

struct QueryCompilerRecord {};  // the class has no state
using Object = Instance<QueryCompilerRecord>;

module::ClassDef& class_def();

[[noreturn]] void not_built() {
  throw PyError::make(PyExc_NotImplementedError, "QueryCompiler is not built yet");
}

constexpr std::string_view kPlaceholderNames[] = {"dialect", "index"};
constexpr Params kGetPlaceholder{"QueryCompiler", "get_placeholder", kPlaceholderNames, 2};

PyObject* get_placeholder(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kGetPlaceholder, args, kwargs);
    SharedHold hold{instance_of<QueryCompilerRecord>(self, class_def()).counter};
    [[maybe_unused]] const std::string dialect = argument(bound, 0, to_text);
    [[maybe_unused]] const std::uint64_t index = argument(bound, 1, to_u64);
    (void)dialect, (void)index;
    not_built();
  });
}

constexpr std::string_view kSelectNames[] = {"table", "columns", "wheres", "joins",
                                             "order_by", "limit", "offset", "dialect"};
constexpr Params kCompileSelect{"QueryCompiler", "compile_select", kSelectNames, 5};

std::optional<std::uint64_t> optional_u64(const Bound& bound, std::size_t i) {
  if (!bound.has(i) || bound[i] == Py_None) return std::nullopt;
  return argument(bound, i, to_u64);
}

PyObject* compile_select(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kCompileSelect, args, kwargs);
    SharedHold hold{instance_of<QueryCompilerRecord>(self, class_def()).counter};
    [[maybe_unused]] const std::string table = argument(bound, 0, to_text);
    [[maybe_unused]] const auto columns = argument(bound, 1, to_text_list);
    [[maybe_unused]] const auto wheres = argument(bound, 2, to_text_tuples<3>);
    [[maybe_unused]] const auto joins = argument(bound, 3, to_text_tuples<3>);
    [[maybe_unused]] const auto order_by = argument(bound, 4, to_text_tuples<2>);
    [[maybe_unused]] const auto limit = optional_u64(bound, 5);
    [[maybe_unused]] const auto offset = optional_u64(bound, 6);
    [[maybe_unused]] const std::string dialect = bound.has(7) ? argument(bound, 7, to_text) : "sqlite";
    not_built();
  });
}

constexpr std::string_view kInsertNames[] = {"table", "columns", "dialect"};
constexpr Params kCompileInsert{"QueryCompiler", "compile_insert", kInsertNames, 3};

PyObject* compile_insert(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kCompileInsert, args, kwargs);
    SharedHold hold{instance_of<QueryCompilerRecord>(self, class_def()).counter};
    [[maybe_unused]] const std::string table = argument(bound, 0, to_text);
    [[maybe_unused]] const auto columns = argument(bound, 1, to_text_list);
    [[maybe_unused]] const std::string dialect = argument(bound, 2, to_text);
    not_built();
  });
}

constexpr std::string_view kUpdateNames[] = {"table", "columns", "pk_col", "dialect"};
constexpr Params kCompileUpdate{"QueryCompiler", "compile_update", kUpdateNames, 4};

PyObject* compile_update(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kCompileUpdate, args, kwargs);
    SharedHold hold{instance_of<QueryCompilerRecord>(self, class_def()).counter};
    [[maybe_unused]] const std::string table = argument(bound, 0, to_text);
    [[maybe_unused]] const auto columns = argument(bound, 1, to_text_list);
    [[maybe_unused]] const std::string pk_col = argument(bound, 2, to_text);
    [[maybe_unused]] const std::string dialect = argument(bound, 3, to_text);
    not_built();
  });
}

constexpr std::string_view kDeleteNames[] = {"table", "pk_col", "dialect"};
constexpr Params kCompileDelete{"QueryCompiler", "compile_delete", kDeleteNames, 3};

PyObject* compile_delete(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kCompileDelete, args, kwargs);
    SharedHold hold{instance_of<QueryCompilerRecord>(self, class_def()).counter};
    [[maybe_unused]] const std::string table = argument(bound, 0, to_text);
    [[maybe_unused]] const std::string pk_col = argument(bound, 1, to_text);
    [[maybe_unused]] const std::string dialect = argument(bound, 2, to_text);
    not_built();
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
ClassDef& query_compiler_class() { return compiler::class_def(); }
}  // namespace brackwell::module
