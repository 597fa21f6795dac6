// SchemaDiffEngine's Python face: binds, holds and converts the arguments of diff_table,
// reads the two dictionaries and hands the columns to the DDL builder.
#include <string>
#include <string_view>

#include "binding/instance.h"
#include "binding/method.h"

namespace brackwell::migration_diff {
namespace {

using namespace brackwell::binding;

struct SchemaDiffEngineRecord {};  // the class has no state
using Object = Instance<SchemaDiffEngineRecord>;

module::ClassDef& class_def();

constexpr std::string_view kDiffNames[] = {"table_name", "model_fields", "db_columns",
                                           "_dialect"};
constexpr Params kDiffTable{"SchemaDiffEngine", "diff_table", kDiffNames, 4};

PyObject* diff_table(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kDiffTable, args, kwargs);
    SharedHold hold{instance_of<SchemaDiffEngineRecord>(self, class_def()).counter};
    [[maybe_unused]] const std::string table_name = argument(bound, 0, to_text);
    [[maybe_unused]] PyObject* model_fields = argument(bound, 1, require_dict);
    [[maybe_unused]] PyObject* db_columns = argument(bound, 2, require_dict);
    [[maybe_unused]] const std::string dialect = argument(bound, 3, to_text);
    (void)model_fields, (void)db_columns;
    throw PyError::make(PyExc_NotImplementedError, "SchemaDiffEngine is not built yet");
  });
}

constexpr Params kNew{"SchemaDiffEngine", "__new__", {}, 0};

PyMethodDef kMethods[] = {
    method("diff_table", diff_table,
           "diff_table($self, table_name, model_fields, db_columns, _dialect)\n--\n\nCompares "
           "model metadata against database introspection table structure.\nReturns "
           "upgrade_statements and downgrade_statements."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("SchemaDiffEngine()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(instance_new<SchemaDiffEngineRecord, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<SchemaDiffEngineRecord>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.SchemaDiffEngine", sizeof(Object), 0, Py_TPFLAGS_DEFAULT, kSlots};

module::ClassDef& class_def() {
  static module::ClassDef def{"SchemaDiffEngine", kSpec};
  return def;
}

}  // namespace
}  // namespace brackwell::migration_diff

namespace brackwell::module {
ClassDef& schema_diff_engine_class() { return migration_diff::class_def(); }
}  // namespace brackwell::module
