// SchemaDiffEngine's Python face: binds, holds and converts the arguments of diff_table,
// reads the two dictionaries and hands the columns to the DDL builder.
#include "migration_diff/schema_diff_engine.h"

#include <atomic>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/call_memory.h"
#include "binding/dict_reader.h"
#include "binding/instance.h"
#include "binding/method.h"
#include "migration_diff/ddl.h"

namespace brackwell::migration_diff {
namespace {

using namespace brackwell::binding;

// The class has no state and no method that needs an exclusive hold: nothing could
// refuse a shared one, so diff_table takes none, and one instance serves any number of
// threads at once without their calls writing to a shared word.
struct SchemaDiffEngineRecord {};
using Object = Instance<SchemaDiffEngineRecord>;

// The three names a column description is read for, made once and kept for the process.
// They are interned, so the literal keys of a model's descriptions are these very objects.
struct DescriptionNames {
  PyObject* data_type;
  PyObject* nullable;
  PyObject* primary_key;
};

PyObject* description_name(std::atomic<PyObject*>& slot, const char* text) {
  PyObject* name = publish_once(slot, [text] { return PyUnicode_InternFromString(text); });
  if (!name) throw PyError::fetch();
  return name;
}

DescriptionNames description_names() {
  ProcessState& state = process_state;
  return {description_name(state.data_type_name, "data_type"),
          description_name(state.nullable_name, "nullable"),
          description_name(state.primary_key_name, "primary_key")};
}

// The values a description holds under the three names (empty where absent), owned:
// converting one of them can run Python code that changes the description.
struct DescriptionValues {
  Ref data_type, nullable, primary_key;
};

// Above this many entries a description is searched by hashing, not by a scan. Without
// the interpreter lock every description of exact str keys is scanned: three lookups could
// each see another state of a description that another thread changes, a scan under the
// description's section sees one.
constexpr Py_ssize_t kScanMax = kFreeThreaded ? PY_SSIZE_T_MAX : 8;

// Finds the three values by walking a small description whose keys are all exact str:
// such keys equal a name exactly when their texts do, so no hashing or __eq__ is needed.
// Returns false, having found nothing, when some key is of another type.
bool scan_description(PyObject* description, const DescriptionNames& names,
                      DescriptionValues& values) {
  // The walk and the references taken at its end share one critical section: without the
  // interpreter lock another thread may change the description meanwhile.
  const CriticalSection section{description};
  PyObject* found[3] = {};
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(description, &position, &key, &value)) {
    if (key == names.data_type) {
      found[0] = value;
    } else if (key == names.nullable) {
      found[1] = value;
    } else if (key == names.primary_key) {
      found[2] = value;
    } else if (!PyUnicode_CheckExact(key)) {
      return false;
    } else if (PyUnicode_CompareWithASCIIString(key, "data_type") == 0) {
      found[0] = value;
    } else if (PyUnicode_CompareWithASCIIString(key, "nullable") == 0) {
      found[1] = value;
    } else if (PyUnicode_CompareWithASCIIString(key, "primary_key") == 0) {
      found[2] = value;
    }
  }
  values.data_type = Ref::borrow(found[0]);
  values.nullable = Ref::borrow(found[1]);
  values.primary_key = Ref::borrow(found[2]);
  return true;
}

// The UTF-8 texts read from the dictionaries, each kept valid by what its view needs, so
// that the columns can be plain views until the statements are written.
class Texts {
 public:
  Texts(std::size_t expected, std::pmr::memory_resource* memory) : kept_(memory) {
    kept_.reserve(expected);
  }
  // The text of a str (or subclass); refuses other types with "PyString".
  std::string_view keep(PyObject* str) { return keep(text_view(str)); }
  // The same for a value known to be a str; nullopt, with the interpreter's error
  // pending, when it is not valid UTF-8.
  std::optional<std::string_view> try_keep(PyObject* str) {
    Utf8 text;
    if (!utf8_view(str, text)) return std::nullopt;
    return keep(std::move(text));
  }

 private:
  std::string_view keep(Utf8 text) {
    kept_.push_back(std::move(text.keep));
    return text.view;
  }
  std::pmr::vector<Ref> kept_;
};

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
  try {
    return to_bool(found);
  } catch (const PyError&) {  // a Panic from Python code is not absorbed
    return fallback;
  }
}

// True for a flag value that flag() reads without running Python code.
bool plain_flag(PyObject* found) noexcept {
  return !found || found == Py_True || found == Py_False || found == Py_None ||
         PyLong_CheckExact(found) || PyUnicode_CheckExact(found) || PyFloat_CheckExact(found);
}

// Reads one column description into `column`. Returns whether Python code may have run:
// a lookup that met a key of another type than exact str (its __eq__), a data type that
// raised when encoded (raising can collect garbage), or a numpy boolean's __bool__.
bool read_description(PyObject* description, const DescriptionNames& names, Texts& texts,
                      ModelColumn& column) {
  DescriptionValues values;
  bool ran_code = false;
  if (PyDict_Size(description) > kScanMax || !scan_description(description, names, values)) {
    ran_code = true;
    values.data_type = dict_value(description, names.data_type);
    values.nullable = dict_value(description, names.nullable);
    values.primary_key = dict_value(description, names.primary_key);
  }
  if (PyObject* data_type = values.data_type.get(); data_type && PyUnicode_Check(data_type)) {
    if (std::optional<std::string_view> text = texts.try_keep(data_type)) {
      column.data_type = *text;
    } else {
      ran_code = true;
      clear_unless_panic();  // a str that is not valid UTF-8 leaves the default type
    }
  }
  ran_code =
      ran_code || !plain_flag(values.nullable.get()) || !plain_flag(values.primary_key.get());
  column.nullable = flag(values.nullable.get(), true);
  column.primary_key = flag(values.primary_key.get(), false);
  return ran_code;
}

// The model's columns in the dict's order. A later column whose name repeats an earlier
// one replaces its description in place. Repeats need str-subclass keys (equal texts,
// unequal keys), or Python code that deletes and re-inserts a key while the model is
// read, which makes the walk yield it twice where the model is read live.
std::pmr::vector<ModelColumn> read_model(PyObject* model_fields, Texts& texts,
                                         std::pmr::memory_resource* memory) {
  std::pmr::vector<ModelColumn> columns(memory);
  columns.reserve(std::size_t(PyDict_Size(model_fields)));
  // Made before the model is read: interning the first time may wait.
  const DescriptionNames names = description_names();
  bool repeats_possible = false;
  // Each description is read under a section of its own, apart from the model's.
  for_each_dict_entry_apart(model_fields, memory, [&](PyObject* key, PyObject* value) {
    // Reading a description can run Python code that may drop this entry from the
    // model: own the description meanwhile (the key is kept by `texts`).
    const Ref description = Ref::borrow(value);
    ModelColumn column;
    column.name = texts.keep(key);
    repeats_possible = repeats_possible || !PyUnicode_CheckExact(key);
    if (!PyDict_Check(value)) throw conversion_error(value, "PyDict");
    const bool ran_code = read_description(description.get(), names, texts, column);
    repeats_possible = repeats_possible || ran_code;
    columns.push_back(std::move(column));
    return ran_code;
  });
  if (repeats_possible) keep_last_description(columns);
  return columns;
}

// The database's column names. Each type must be a str too, though it is never compared.
// Nothing in the walk runs Python code or waits (but on the way to an error that ends it):
// under the dict's section it sees one state of it.
std::pmr::vector<std::string_view> read_db_names(PyObject* db_columns, Texts& texts,
                                                 std::pmr::memory_resource* memory) {
  std::pmr::vector<std::string_view> names(memory);
  const CriticalSection section{db_columns};
  names.reserve(std::size_t(PyDict_Size(db_columns)));
  for_each_dict_entry(db_columns, [&](PyObject* key, PyObject* value) {
    // Held first: where the key's UTF-8 must still be made (abi3t), that may wait and let
    // another thread replace the value.
    const Ref type = Ref::borrow(value);
    const std::string_view name = texts.keep(key);
    text_view(type.get());
    names.push_back(name);
  });
  return names;
}

// A new list of str, one per statement.
Ref statement_list(const StatementList& statements) {
  Ref list = new_list(statements.size());
  for (std::size_t i = 0; i < statements.size(); ++i) {
    set_list_item(list.get(), i, to_str(statements[i]));
  }
  return list;
}

constexpr std::string_view kDiffNames[] = {"table_name", "model_fields", "db_columns", "_dialect"};
constexpr Params kDiffTable{"SchemaDiffEngine", "diff_table", kDiffNames, 4};

PyObject* diff_table(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kDiffTable, args, kwargs);
    instance_of<SchemaDiffEngineRecord>(self,
                                        schema_diff_engine_class());  // no hold: see the record
    const std::string table_name = argument(bound, 0, to_text);
    PyObject* model_fields = argument(bound, 1, require_dict);
    PyObject* db_columns = argument(bound, 2, require_dict);
    const std::string dialect = argument(bound, 3, to_text);
    // The model is read whole before the database side, so its errors win.
    CallMemory memory;
    Texts texts(std::size_t(2 * PyDict_Size(model_fields) + PyDict_Size(db_columns)), memory.get());
    const auto model = read_model(model_fields, texts, memory.get());
    const auto db_names = read_db_names(db_columns, texts, memory.get());
    const Migration migration = diff_columns(table_name, model, db_names, dialect);
    return pair(statement_list(migration.upgrade), statement_list(migration.downgrade));
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

PyType_Spec kSpec = {"builtins.SchemaDiffEngine", binding::kBasicSize<SchemaDiffEngineRecord>, 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

binding::ClassDef& schema_diff_engine_class() {
  static binding::ClassDef def{"SchemaDiffEngine", kSpec,
                               binding::process_state.schema_diff_engine_type};
  return def;
}

}  // namespace brackwell::migration_diff
