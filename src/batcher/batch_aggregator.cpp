// BatchAggregator's Python face: binds, holds and converts the arguments of each method,
// classifies keys and drives the two key sets.
#include <string>
#include <string_view>

#include "binding/instance.h"
#include "binding/method.h"

namespace brackwell::batcher {
namespace {

using namespace brackwell::binding;

struct BatchAggregatorRecord {};
using Object = Instance<BatchAggregatorRecord>;

module::ClassDef& class_def();

[[noreturn]] void not_built() {
  throw PyError::make(PyExc_NotImplementedError, "BatchAggregator is not built yet");
}

constexpr std::string_view kKeyNames[] = {"key"};
constexpr Params kAddKeyInt{"BatchAggregator", "add_key_int", kKeyNames, 1};
constexpr Params kAddKeyStr{"BatchAggregator", "add_key_str", kKeyNames, 1};
constexpr Params kAddKey{"BatchAggregator", "add_key", kKeyNames, 1};
constexpr std::string_view kKeysNames[] = {"keys"};
constexpr Params kAddKeysBatch{"BatchAggregator", "add_keys_batch", kKeysNames, 1};

PyObject* add_key_int(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kAddKeyInt, args, kwargs);
    ExclusiveHold hold{instance_of<BatchAggregatorRecord>(self, class_def()).counter};
    argument(bound, 0, to_i64);
    not_built();
  });
}

PyObject* add_key_str(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kAddKeyStr, args, kwargs);
    ExclusiveHold hold{instance_of<BatchAggregatorRecord>(self, class_def()).counter};
    argument(bound, 0, to_text);
    not_built();
  });
}

PyObject* add_key(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    bind(kAddKey, args, kwargs);
    ExclusiveHold hold{instance_of<BatchAggregatorRecord>(self, class_def()).counter};
    not_built();
  });
}

bool require_sequence(PyObject* obj) {
  if (!is_sequence(obj)) throw conversion_error(obj, "Sequence");
  return true;
}

PyObject* add_keys_batch(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> Ref {
    const Bound bound = bind(kAddKeysBatch, args, kwargs);
    ExclusiveHold hold{instance_of<BatchAggregatorRecord>(self, class_def()).counter};
    argument(bound, 0, require_sequence);
    not_built();
  });
}

template <bool kExclusive>
PyObject* stub_query(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> Ref {
    BorrowCounter& counter = instance_of<BatchAggregatorRecord>(self, class_def()).counter;
    if constexpr (kExclusive) {
      ExclusiveHold hold{counter};
      not_built();
    } else {
      SharedHold hold{counter};
      not_built();
    }
  });
}

constexpr Params kNew{"BatchAggregator", "__new__", {}, 0};

PyMethodDef kMethods[] = {
    method("add_key_int", add_key_int,
           "add_key_int($self, key)\n--\n\nAdd an integer foreign key directly (Zero string "
           "formatting overhead)"),
    method("add_key_str", add_key_str, "add_key_str($self, key)\n--\n\nAdd a string foreign key"),
    method("add_key", add_key, "add_key($self, key)\n--\n\nDynamically add key checking type"),
    method("add_keys_batch", add_keys_batch,
           "add_keys_batch($self, keys)\n--\n\nBatch add keys in a single FFI boundary call"),
    method("get_keys", stub_query<false>,
           "get_keys($self)\n--\n\nReturns deduplicated keys as a PyList constructed directly in "
           "Rust"),
    method("clear", stub_query<true>, "clear($self)\n--\n\n"),
    method("len", stub_query<false>, "len($self)\n--\n\n"),
    method("is_empty", stub_query<false>, "is_empty($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("BatchAggregator()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(instance_new<BatchAggregatorRecord, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<BatchAggregatorRecord>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.BatchAggregator", sizeof(Object), 0, Py_TPFLAGS_DEFAULT, kSlots};

module::ClassDef& class_def() {
  static module::ClassDef def{"BatchAggregator", kSpec};
  return def;
}

}  // namespace
}  // namespace brackwell::batcher

namespace brackwell::module {
ClassDef& batch_aggregator_class() { return batcher::class_def(); }
}  // namespace brackwell::module
