// StateTracker's Python face: binds, holds and converts the arguments of each method,
// drives the field table and builds the result objects.
#include "state_tracker/state_tracker.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "binding/dict_reader.h"
#include "binding/instance.h"
#include "binding/method.h"
#include "state_tracker/benchmark.h"
#include "state_tracker/field_table.h"

namespace brackwell::state_tracker {
namespace {

using namespace brackwell::binding;

// The tracker's native state: its fields and nothing else. The only Python objects it
// keeps are the values assigned; names are native text, and every result is made afresh
// from them.
struct StateTrackerRecord {
  static constexpr bool kGarbageCollected = true;
  using Table = FieldTable<Ref>;

  Table table;

  int traverse(visitproc visit, void* arg) const {
    for (const auto& field : table.fields()) Py_VISIT(field.entry.current_value.get());
    return 0;
  }

  void clear() noexcept { table.clear(); }

  // The current object of the field at `position`; borrowed.
  PyObject* object_at(std::size_t position) const noexcept {
    return table.fields()[position].entry.current_value.get();
  }
};
using Object = Instance<StateTrackerRecord>;

// Adds a field to a result dict: a new str of its name, mapped to its current object. A
// new exact str hashes and compares without running Python code, and the table cannot
// change while the caller's hold lasts, so the borrowed value stays valid.
void add_item(PyObject* dict, const StateTrackerRecord::Table::Field& field) {
  const Ref name = to_str(field.name.view());
  check(PyDict_SetItem(dict, name.get(), field.entry.current_value.get()));
}

constexpr std::string_view kDataNames[] = {"data"};
constexpr Params kSetInitialState{"StateTracker", "set_initial_state", kDataNames, 1};

PyObject* set_initial_state(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kSetInitialState, args, kwargs);
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    // One section on the tracker and the dict it loads, for the whole load.
    const InstanceSection section{self, PyDict_Check(bound[0]) ? bound[0] : nullptr};
    ExclusiveHold hold{object.counter};
    PyObject* data = argument(bound, 0, require_dict);
    StateTrackerRecord& record = object.record;

    const Py_ssize_t start_size = PyDict_Size(data);
    // Releasing the old values may run their finalisers, which could change `data`:
    // the size checks below compare against the size taken before.
    record.table.begin_reload(std::size_t(start_size));

    // Until some Python code has run, the dict is as it was at the start, and while every
    // key read so far is an exact str, the keys are distinct texts and need no lookup. A
    // str subclass with its own __hash__ or __eq__ can sit beside an exact str of the
    // same text, so after the first such key every name is looked up. Python code that
    // deletes and re-inserts a key can make the walk yield it twice at the same size:
    // once any may have run, every later name is looked up too, and replaces its twin.
    // Without the interpreter lock a step can also wait unseen (a str's UTF-8, made on
    // first use, takes a section of the str's own), and another thread may move a key
    // meanwhile: there every name is looked up.
    bool unchanged = !kFreeThreaded;
    for_each_dict_entry(data, start_size, [&](PyObject* key, PyObject* value) {
      // Both are borrowed from the dict, which the value's str() may change: the name's
      // view holds the key, and the value is held from here on.
      Ref held = Ref::borrow(value);
      // No argument prefix: the key is not an argument. A key that fails ends the call.
      const Utf8 name = text_view(key);
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
    prepare_utf8(bound[0]);
    prepare_utf8(bound[1]);
    const InstanceSection section{self};
    ExclusiveHold hold{object.counter};
    // The bound name lives as long as the call, and the value is held, across the value's
    // str(), which may run any code; the table cannot change meanwhile (the hold refuses
    // every call on this tracker).
    const Utf8 name = argument(bound, 0, text_view_of_held);
    Ref value = Ref::borrow(bound[1]);
    // The text first: the table is not touched until nothing can fail or run code.
    DisplayText text;
    display_text(value.get(), text);
    object.record.table.assign(name.view, text.view, std::move(value));
    return none();
  });
}

constexpr std::string_view kFieldNames[] = {"field"};
constexpr Params kGetField{"StateTracker", "get_field", kFieldNames, 1};

PyObject* get_field(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kGetField, args, kwargs);
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    prepare_utf8(bound[0]);
    const InstanceSection section{self};
    SharedHold hold{object.counter};
    const StateTrackerRecord& record = object.record;
    const Utf8 name = argument(bound, 0, text_view_of_held);  // the call holds the name
    const std::size_t position = record.table.position(name.view);
    if (position == StateTrackerRecord::Table::kAbsent) return none();
    return Ref::borrow(record.object_at(position));
  });
}

PyObject* is_dirty(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> Ref {
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    const InstanceSection section{self};
    SharedHold hold{object.counter};
    return to_bool_object(object.record.table.any_dirty());
  });
}

PyObject* dirty_fields(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> Ref {
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    const InstanceSection section{self};
    SharedHold hold{object.counter};
    const StateTrackerRecord::Table& table = object.record.table;
    Ref list = new_list(table.dirty_count());
    std::size_t slot = 0;
    for (const auto& field : table.fields()) {
      if (field.entry.dirty()) set_list_item(list.get(), slot++, to_str(field.name.view()));
    }
    return list;
  });
}

PyObject* get_dirty_changes(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> Ref {
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    const InstanceSection section{self};
    SharedHold hold{object.counter};
    Ref dict = created(PyDict_New());
    for (const auto& field : object.record.table.fields()) {
      if (field.entry.dirty()) add_item(dict.get(), field);
    }
    return dict;
  });
}

PyObject* hydrate_snapshot(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> Ref {
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    const InstanceSection section{self};
    ExclusiveHold hold{object.counter};
    object.record.table.commit();
    return none();
  });
}

PyObject* get_current_dict(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> Ref {
    Object& object = instance_of<StateTrackerRecord>(self, state_tracker_class());
    const InstanceSection section{self};
    SharedHold hold{object.counter};
    Ref dict = created(PyDict_New());
    for (const auto& field : object.record.table.fields()) add_item(dict.get(), field);
    return dict;
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
PyType_Spec kSpec = {"builtins.StateTracker", binding::kBasicSize<StateTrackerRecord>, 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kSlots};

}  // namespace

binding::ClassDef& state_tracker_class() {
  static binding::ClassDef def{"StateTracker", kSpec, binding::process_state.state_tracker_type};
  return def;
}

}  // namespace brackwell::state_tracker
