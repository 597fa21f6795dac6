// StateTracker's Python face: binds, holds and converts the arguments of each method,
// drives the field table and builds the result objects.
#include "state_tracker/state_tracker.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/dict_reader.h"
#include "binding/instance.h"
#include "binding/method.h"
#include "state_tracker/benchmark.h"
#include "state_tracker/field_table.h"

namespace brackwell::state_tracker {
namespace {

using namespace brackwell::binding;

// What a field holds besides its texts: the object assigned, and the str that last
// named the field in a call (a loaded key or set_field's argument). Names are nearly
// always passed as the same str object (literals are interned), so a lookup compares
// that pointer before any bytes.
struct Tracked {
  Ref object;
  Ref key;
};

// The tracker's native state: its fields, plus two things made from them at the first
// result that needs them: a str per name (reused until the names change), and a dict of
// every name to its current object, kept in step with the table by set_field and copied
// for get_current_dict; it is dropped whenever it could fall out of step.
struct StateTrackerRecord {
  static constexpr bool kGarbageCollected = true;
  using Table = FieldTable<Tracked>;

  Table table;
  std::vector<Ref> name_objects;  // by field position; empty slots not made yet
  Ref current_dict;               // name str -> current object, in table order

  int traverse(visitproc visit, void* arg) const {
    for (const auto& field : table.fields()) {
      Py_VISIT(field.entry.current_value.object.get());
      // An exact str refers to nothing; a subclass instance may, through its __dict__.
      PyObject* key = field.entry.current_value.key.get();
      if (key && !PyUnicode_CheckExact(key)) Py_VISIT(key);
    }
    Py_VISIT(current_dict.get());
    return 0;
  }

  void clear() noexcept {
    table.clear();
    forget_names();
  }

  // Drops what was made from the fields, before their names change. Whatever the
  // release runs finds the record already without them.
  void forget_names() noexcept {
    std::vector<Ref> dropped;
    dropped.swap(name_objects);
    current_dict.reset();
  }

  // The position of the field that `name` (this very object) last named, or kAbsent. A
  // pointer compare per field, for tables small enough to be scanned.
  std::size_t position_of_object(PyObject* name) const noexcept {
    const auto fields = table.fields();
    if (fields.size() > Table::kLinearLimit) return Table::kAbsent;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].entry.current_value.key.get() == name) return i;
    }
    return Table::kAbsent;
  }

  // The current object of the field at `position`; borrowed.
  PyObject* object_at(std::size_t position) const noexcept {
    return table.fields()[position].entry.current_value.object.get();
  }

  // The str of the field at `position`; borrowed, valid until the names change.
  PyObject* name_object(std::size_t position) {
    if (name_objects.size() < table.size()) name_objects.resize(table.size());
    Ref& name = name_objects[position];
    if (!name) name = to_str(table.fields()[position].name.view());
    return name.get();
  }

  // Brings the kept dict in step after the field at `position` was assigned; a dict that
  // cannot be updated (no memory) is dropped, to be made again when next needed.
  void field_assigned(std::size_t position) noexcept {
    if (!current_dict) return;
    const std::string_view name = table.fields()[position].name.view();
    if (name_objects.size() <= position || !name_objects[position]) {
      if (name_objects.size() < table.size()) {
        try {
          name_objects.resize(table.size());
        } catch (...) {
          current_dict.reset();
          return;
        }
      }
      name_objects[position] =
          Ref::steal(PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size())));
    }
    // A str key hashes and compares without running Python code.
    if (!name_objects[position] ||
        PyDict_SetItem(current_dict.get(), name_objects[position].get(), object_at(position)) < 0) {
      PyErr_Clear();
      current_dict.reset();
    }
  }

  // The dict of every name to its current object, made if needed; borrowed.
  PyObject* current() {
    if (!current_dict) {
      Ref dict = created(PyDict_New());
      for (std::size_t i = 0; i < table.size(); ++i) {
        check(PyDict_SetItem(dict.get(), name_object(i), object_at(i)));
      }
      current_dict = std::move(dict);
    }
    return current_dict.get();
  }
};
using Object = Instance<StateTrackerRecord>;

constexpr std::string_view kDataNames[] = {"data"};
constexpr Params kSetInitialState{"StateTracker", "set_initial_state", kDataNames, 1};

PyObject* set_initial_state(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kSetInitialState, args, kwargs);
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    ExclusiveHold hold{object.counter};
    PyObject* data = argument(bound, 0, require_dict);
    StateTrackerRecord& record = object.record;

    const Py_ssize_t start_size = PyDict_Size(data);
    record.forget_names();
    // Releasing the old values may run their finalisers, which could change `data`:
    // the size checks below compare against the size taken before.
    record.table.begin_reload(std::size_t(start_size));

    // Until some Python code has run, the dict is as it was at the start, and while every
    // key read so far is an exact str, the keys are distinct texts and need no lookup. A
    // str subclass with its own __hash__ or __eq__ can sit beside an exact str of the
    // same text, so after the first such key every name is looked up. Python code that
    // deletes and re-inserts a key can make the walk yield it twice at the same size:
    // once any may have run, every later name is looked up too, and replaces its twin.
    bool unchanged = true;
    for_each_dict_entry(data, start_size, [&](PyObject* key, PyObject* value) {
      // Both are borrowed from the dict, which the value's str() may change.
      Tracked held{Ref::borrow(value), Ref::borrow(key)};
      // No argument prefix: the key is not an argument. A key that fails ends the call.
      const Utf8 name = text_view_of_held(key);  // `held` keeps the key
      unchanged = unchanged && PyUnicode_CheckExact(key);
      const bool distinct = unchanged;
      DisplayText text;
      const bool ran_code = display_text(value, text);
      unchanged = unchanged && !ran_code;
      if (distinct) {
        record.table.load_new(name.view, text.view, std::move(held));
      } else {
        record.table.load(name.view, text.view, std::move(held));
      }
    });
    return none();
  });
}

constexpr std::string_view kSetFieldNames[] = {"field", "value"};
constexpr Params kSetField{"StateTracker", "set_field", kSetFieldNames, 2};

PyObject* set_field(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kSetField, args, kwargs);
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    ExclusiveHold hold{object.counter};
    StateTrackerRecord& record = object.record;
    // Both are kept alive across the value's str(), which may run any code; the table
    // cannot change meanwhile (the hold refuses every call on this tracker).
    Tracked assigned{Ref::borrow(bound[1]), Ref::borrow(bound[0])};
    // A position found now stays right: the fields change only under this hold.
    std::size_t position = record.position_of_object(bound[0]);
    DisplayText text;
    if (position != StateTrackerRecord::Table::kAbsent) {
      display_text(assigned.object.get(), text);
      record.table.assign_at(position, text.view, std::move(assigned));
    } else {
      const Utf8 name = argument(bound, 0, text_view);
      // The text first: the table is not touched until nothing can fail or run code.
      display_text(assigned.object.get(), text);
      position = record.table.assign(name.view, text.view, std::move(assigned));
    }
    record.field_assigned(position);
    return none();
  });
}

constexpr std::string_view kFieldNames[] = {"field"};
constexpr Params kGetField{"StateTracker", "get_field", kFieldNames, 1};

PyObject* get_field(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kGetField, args, kwargs);
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    SharedHold hold{object.counter};
    const StateTrackerRecord& record = object.record;
    std::size_t position = record.position_of_object(bound[0]);
    if (position == StateTrackerRecord::Table::kAbsent) {
      const Utf8 name = argument(bound, 0, text_view);
      position = record.table.position(name.view);
      if (position == StateTrackerRecord::Table::kAbsent) return none();
    }
    return Ref::borrow(record.object_at(position));
  });
}

PyObject* is_dirty(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> Ref {
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    SharedHold hold{object.counter};
    return to_bool_object(object.record.table.any_dirty());
  });
}

PyObject* dirty_fields(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> Ref {
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    SharedHold hold{object.counter};
    StateTrackerRecord& record = object.record;
    Ref list = new_list(record.table.dirty_count());
    std::size_t slot = 0;
    const auto fields = record.table.fields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (!fields[i].entry.dirty()) continue;
      set_list_item(list.get(), slot++, Ref::borrow(record.name_object(i)));
    }
    return list;
  });
}

PyObject* get_dirty_changes(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> Ref {
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    SharedHold hold{object.counter};
    StateTrackerRecord& record = object.record;
    Ref dict = created(PyDict_New());
    const auto fields = record.table.fields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (!fields[i].entry.dirty()) continue;
      // Stored str keys hash and compare without running Python code.
      check(PyDict_SetItem(dict.get(), record.name_object(i), record.object_at(i)));
    }
    return dict;
  });
}

PyObject* hydrate_snapshot(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> Ref {
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    ExclusiveHold hold{object.counter};
    object.record.table.commit();
    return none();
  });
}

PyObject* get_current_dict(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> Ref {
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    SharedHold hold{object.counter};
    // A copy of the kept dict: the caller's dict is its own. Only an exclusive call drops
    // or rebuilds the kept dict, and none can run while this hold lasts, so the borrowed
    // dict outlives the copy's allocation and whatever that runs.
    return created(PyDict_Copy(object.record.current()));
  });
}

constexpr std::string_view kCountNames[] = {"count"};
constexpr Params kBenchmark{"StateTracker", "benchmark_pure_rust", kCountNames, 1};

PyObject* benchmark_pure_rust(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kBenchmark, args, kwargs);
    const std::uint64_t count = argument(bound, 0, to_u64);
    return to_float(run_native_benchmark(count));
  });
}

constexpr Params kNew{"StateTracker", "__new__", {}, 0};

PyMethodDef kMethods[] = {
    method("set_initial_state", set_initial_state, "set_initial_state($self, data)\n--\n\n"),
    method("set_field", set_field, "set_field($self, field, value)\n--\n\n"),
    method("get_field", get_field, "get_field($self, field)\n--\n\n"),
    method("is_dirty", is_dirty, "is_dirty($self)\n--\n\n"),
    method("dirty_fields", dirty_fields, "dirty_fields($self)\n--\n\n"),
    method("get_dirty_changes", get_dirty_changes, "get_dirty_changes($self)\n--\n\n"),
    method("hydrate_snapshot", hydrate_snapshot, "hydrate_snapshot($self)\n--\n\n"),
    method("get_current_dict", get_current_dict, "get_current_dict($self)\n--\n\n"),
    method("benchmark_pure_rust", benchmark_pure_rust,
           "benchmark_pure_rust(count)\n--\n\nPure Rust Native Benchmark (Rust -> Rust) executing "
           "100% in C/Rust memory using FxHashMap",
           METH_STATIC),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("StateTracker()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(instance_new<StateTrackerRecord, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<StateTrackerRecord>)},
    {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse<StateTrackerRecord>)},
    {Py_tp_clear, reinterpret_cast<void*>(instance_clear<StateTrackerRecord>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// Collected: the values a tracker stores may refer back to it.
PyType_Spec kSpec = {"builtins.StateTracker", sizeof(Object), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kSlots};

}  // namespace

binding::ClassDef& state_tracker_class() {
  static binding::ClassDef def{"StateTracker", kSpec, binding::process_state.state_tracker_type};
  return def;
}

}  // namespace brackwell::state_tracker
