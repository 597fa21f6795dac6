// SchemaDiffEngine's Python face: binds, holds and converts the arguments of diff_table,
// reads the two dictionaries and hands the columns to the DDL builder.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/instance.h"
#include "binding/method.h"
#include "migration_diff/ddl.h"

namespace brackwell::migration_diff {
namespace {

using namespace brackwell::binding;

struct SchemaDiffEngineRecord {};  // the class has no state
using Object = Instance<SchemaDiffEngineRecord>;

module::ClassDef& class_def();

// Calls `each(key, value)` for every entry of a dict, read from its own storage in its
// own order. The size is compared before every step, the last one included, so a dict
// that Python code changes while it is read ends the call instead of being half-read.
template <class Each>
void for_each_entry(PyObject* dict, Each&& each) {
  const Py_ssize_t size = PyDict_Size(dict);
  Py_ssize_t remaining = size;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (;;) {
    if (PyDict_Size(dict) != size) throw Panic{"dictionary changed size during iteration"};
    if (remaining < 0) throw Panic{"dictionary keys changed during iteration"};
    if (!PyDict_Next(dict, &position, &key, &value)) return;
    --remaining;
    // Reading an entry can run Python code (a key's __eq__ during a lookup, a numpy
    // boolean's __bool__) that may drop the entry from the dict: own both while we work.
    const Ref owned_key = Ref::borrow(key);
    const Ref owned_value = Ref::borrow(value);
    each(owned_key.get(), owned_value.get());
  }
}

// A name made once and kept for the process: the three description keys are looked up
// for every column, and an interned str hashes once.
PyObject* kept_name(PyObject*& slot, const char* text) {
  if (!slot) slot = owned(PyUnicode_InternFromString(text)).release();
  return slot;
}

PyObject* g_data_type = nullptr;
PyObject* g_nullable = nullptr;
PyObject* g_primary_key = nullptr;

// The value stored under `key` in a description dict (never its subclass's __getitem__
// or __missing__), or nullptr when it has none. Lookup errors propagate.
PyObject* lookup_borrowed(PyObject* description, PyObject* key) {
  PyObject* found = PyDict_GetItemWithError(description, key);
  if (!found && PyErr_Occurred()) throw PyError::fetch();
  return found;
}

// A flag of a column description: only a real boolean (or a numpy boolean) counts;
// anything else, like 0, 1, None or "yes", leaves `fallback` in force.
bool flag(PyObject* found, bool fallback) {
  if (!found) return fallback;
  if (found == Py_True) return true;
  if (found == Py_False) return false;
  // The common wrong kinds cannot be numpy booleans: skip the type inspection.
  if (found == Py_None || PyLong_CheckExact(found) || PyUnicode_CheckExact(found) ||
      PyFloat_CheckExact(found)) {
    return fallback;
  }
  const Ref value = Ref::borrow(found);
  try {
    return to_bool(value.get());
  } catch (const PyError&) {  // a Panic from Python code is not absorbed
    return fallback;
  }
}

void read_description(PyObject* description, ModelColumn& column) {
  PyObject* data_type = lookup_borrowed(description, kept_name(g_data_type, "data_type"));
  if (data_type && PyUnicode_Check(data_type)) {
    if (std::optional<Utf8> text = try_utf8(data_type)) {
      column.data_type.assign(text->view);
    } else {
      clear_unless_panic();  // a str that is not valid UTF-8 leaves the default type
    }
  }
  column.nullable = flag(lookup_borrowed(description, kept_name(g_nullable, "nullable")), true);
  column.primary_key =
      flag(lookup_borrowed(description, kept_name(g_primary_key, "primary_key")), false);
}

// The model's columns in the dict's order. A later column whose name repeats an earlier
// one (possible only with str-subclass keys) replaces its description in place.
std::vector<ModelColumn> read_model(PyObject* model_fields) {
  std::vector<ModelColumn> columns;
  columns.reserve(std::size_t(PyDict_Size(model_fields)));
  bool repeats_possible = false;
  for_each_entry(model_fields, [&](PyObject* key, PyObject* value) {
    ModelColumn column;
    column.name = to_text(key);
    if (!PyDict_Check(value)) throw conversion_error(value, "PyDict");
    read_description(value, column);
    repeats_possible = repeats_possible || !PyUnicode_CheckExact(key);
    columns.push_back(std::move(column));
  });
  if (repeats_possible) keep_last_description(columns);
  return columns;
}

// The database's column names. Each type must be a str too, though it is never compared.
std::vector<std::string> read_db_names(PyObject* db_columns) {
  std::vector<std::string> names;
  names.reserve(std::size_t(PyDict_Size(db_columns)));
  for_each_entry(db_columns, [&](PyObject* key, PyObject* value) {
    std::string name = to_text(key);
    text_view(value);
    names.push_back(std::move(name));
  });
  return names;
}

constexpr std::string_view kDiffNames[] = {"table_name", "model_fields", "db_columns", "_dialect"};
constexpr Params kDiffTable{"SchemaDiffEngine", "diff_table", kDiffNames, 4};

PyObject* diff_table(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kDiffTable, args, kwargs);
    SharedHold hold{instance_of<SchemaDiffEngineRecord>(self, class_def()).counter};
    const std::string table_name = argument(bound, 0, to_text);
    PyObject* model_fields = argument(bound, 1, require_dict);
    PyObject* db_columns = argument(bound, 2, require_dict);
    const std::string dialect = argument(bound, 3, to_text);
    // The model is read whole before the database side, so its errors win.
    const std::vector<ModelColumn> model = read_model(model_fields);
    const std::vector<std::string> db_names = read_db_names(db_columns);
    const Migration migration = diff_columns(table_name, model, db_names, dialect);
    return pair(to_str_list(migration.upgrade), to_str_list(migration.downgrade));
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
ClassDef& schema_diff_engine_class() {
  return migration_diff::class_def();
}
}  // namespace brackwell::module
