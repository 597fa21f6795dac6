// StateTracker's Python face: binds, holds and converts the arguments of each method,
// drives the field table and builds the result objects.
#include <string>
#include <string_view>

#include "binding/instance.h"
#include "binding/method.h"

namespace brackwell::state_tracker {
namespace {

using namespace brackwell::binding;

struct StateTrackerRecord {};
using Object = Instance<StateTrackerRecord>;

module::ClassDef& class_def();

[[noreturn]] void not_built() {
  throw PyError::make(PyExc_NotImplementedError, "StateTracker is not built yet");
}


constexpr std::string_view kDataNames[] = {"data"};
constexpr Params kSetInitialState{"StateTracker", "set_initial_state", kDataNames, 1};

PyObject* set_initial_state(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kSetInitialState, args, kwargs);
    ExclusiveHold hold{instance_of<StateTrackerRecord>(self, class_def()).counter};
    argument(bound, 0, require_dict);
    not_built();
  });
}

constexpr std::string_view kSetFieldNames[] = {"field", "value"};
constexpr Params kSetField{"StateTracker", "set_field", kSetFieldNames, 2};

PyObject* set_field(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kSetField, args, kwargs);
    ExclusiveHold hold{instance_of<StateTrackerRecord>(self, class_def()).counter};
    [[maybe_unused]] const std::string field = argument(bound, 0, to_text);
    not_built();
  });
}

constexpr std::string_view kFieldNames[] = {"field"};
constexpr Params kGetField{"StateTracker", "get_field", kFieldNames, 1};

PyObject* get_field(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kGetField, args, kwargs);
    SharedHold hold{instance_of<StateTrackerRecord>(self, class_def()).counter};
    [[maybe_unused]] const std::string field = argument(bound, 0, to_text);
    not_built();
  });
}

template <bool kExclusive>
PyObject* stub_query(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> Ref {
    BorrowCounter& counter = instance_of<StateTrackerRecord>(self, class_def()).counter;
    if constexpr (kExclusive) {
      ExclusiveHold hold{counter};
      not_built();
    } else {
      SharedHold hold{counter};
      not_built();
    }
  });
}

constexpr std::string_view kCountNames[] = {"count"};
constexpr Params kBenchmark{"StateTracker", "benchmark_pure_rust", kCountNames, 1};

PyObject* benchmark_pure_rust(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kBenchmark, args, kwargs);
    [[maybe_unused]] const std::uint64_t count = argument(bound, 0, to_u64);
    (void)count;
    not_built();
  });
}

constexpr Params kNew{"StateTracker", "__new__", {}, 0};

PyMethodDef kMethods[] = {
    method("set_initial_state", set_initial_state, "set_initial_state($self, data)\n--\n\n"),
    method("set_field", set_field, "set_field($self, field, value)\n--\n\n"),
    method("get_field", get_field, "get_field($self, field)\n--\n\n"),
    method("is_dirty", stub_query<false>, "is_dirty($self)\n--\n\n"),
    method("dirty_fields", stub_query<false>, "dirty_fields($self)\n--\n\n"),
    method("get_dirty_changes", stub_query<false>, "get_dirty_changes($self)\n--\n\n"),
    method("hydrate_snapshot", stub_query<true>, "hydrate_snapshot($self)\n--\n\n"),
    method("get_current_dict", stub_query<false>, "get_current_dict($self)\n--\n\n"),
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
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.StateTracker", sizeof(Object), 0, Py_TPFLAGS_DEFAULT, kSlots};

module::ClassDef& class_def() {
  static module::ClassDef def{"StateTracker", kSpec};
  return def;
}

}  // namespace
}  // namespace brackwell::state_tracker

namespace brackwell::module {
ClassDef& state_tracker_class() { return state_tracker::class_def(); }
}  // namespace brackwell::module
