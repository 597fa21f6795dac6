// BatchAggregator's Python face: binds, holds and converts the arguments of each method,
// classifies keys and drives the two key sets.
#include "batcher/batch_aggregator.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>

#include "batcher/key_set.h"
#include "binding/free_threading.h"
#include "binding/instance.h"
#include "binding/method.h"
#include "common/try_reserve.h"

namespace brackwell::batcher {
namespace {

using namespace brackwell::binding;

struct BatchAggregatorRecord {
  IntKeySet int_keys;
  TextKeySet text_keys;

  std::size_t size() const noexcept { return int_keys.size() + text_keys.size(); }
};
using Object = Instance<BatchAggregatorRecord>;

Object& object(PyObject* self) {
  return instance_of<BatchAggregatorRecord>(self, batch_aggregator_class());
}

// The integer a key stands for when it is an int (bool included) or has __index__ and
// fits in 64 bits; nullopt otherwise, with any error from __index__ cleared.
std::optional<std::int64_t> integer_key(PyObject* key) {
  if (PyLong_Check(key)) return int64_value(key);
  // Without an __index__ there is nothing to try: no exception is raised only to be
  // cleared again, which matters for a batch of floats.
  if (!PyIndex_Check(key)) return std::nullopt;
  const Ref index = Ref::steal(PyNumber_Index(key));
  if (!index) {
    clear_unless_panic();
    return std::nullopt;
  }
  return int64_value(index.get());
}

// Adds a key of any type to the set it belongs in; true when it was not there yet.
// An integer in 64 bits is an integer key; else a str that encodes strictly is a text
// key; anything else is keyed by its display text (an int too large: its digits).
// Failures along the way are absorbed without throwing; only a PanicException raised by
// Python code gets out, as Panic. The caller owns `key`.
bool add_any(BatchAggregatorRecord& keys, PyObject* key) {
  // An exact str has no integer conversion: no need to try one.
  if (!PyUnicode_CheckExact(key)) {
    if (const std::optional<std::int64_t> value = integer_key(key)) {
      return keys.int_keys.add(*value);
    }
    if (!PyUnicode_Check(key)) return keys.text_keys.add(display_text(key));
  }
  Utf8 text;  // the caller holds the key, and add() copies the text at once
  if (utf8_view_of_held(key, text)) return keys.text_keys.add(text.view);
  clear_unless_panic();  // a lone surrogate: the display text replaces it
  return keys.text_keys.add(display_text(key));
}

constexpr std::string_view kKeyNames[] = {"key"};
constexpr Params kAddKeyInt{"BatchAggregator", "add_key_int", kKeyNames, 1};
constexpr Params kAddKeyStr{"BatchAggregator", "add_key_str", kKeyNames, 1};
constexpr Params kAddKey{"BatchAggregator", "add_key", kKeyNames, 1};
constexpr std::string_view kKeysNames[] = {"keys"};
constexpr Params kAddKeysBatch{"BatchAggregator", "add_keys_batch", kKeysNames, 1};

PyObject* add_key_int(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kAddKeyInt, args, kwargs);
    Object& instance = object(self);
    const InstanceSection section{self};
    ExclusiveHold hold{instance.counter};
    BatchAggregatorRecord& keys = instance.record;
    // An exact int in 64 bits is read in place; anything else takes the full conversion,
    // which raises for a value out of range or of another type.
    std::optional<std::int64_t> key;
    if (PyLong_CheckExact(bound[0])) key = int64_value(bound[0]);
    if (!key) key = argument(bound, 0, to_i64);
    return to_bool_object(keys.int_keys.add(*key));
  });
}

PyObject* add_key_str(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kAddKeyStr, args, kwargs);
    Object& instance = object(self);
    prepare_utf8(bound[0]);
    const InstanceSection section{self};
    ExclusiveHold hold{instance.counter};
    BatchAggregatorRecord& keys = instance.record;
    // The call holds its argument, and add() copies the text before anything can run.
    const Utf8 key = argument(bound, 0, text_view_of_held);
    return to_bool_object(keys.text_keys.add(key.view));
  });
}

PyObject* add_key(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kAddKey, args, kwargs);
    Object& instance = object(self);
    prepare_utf8(bound[0]);
    const InstanceSection section{self};
    ExclusiveHold hold{instance.counter};
    BatchAggregatorRecord& keys = instance.record;
    return to_bool_object(add_any(keys, bound[0]));  // the call's arguments keep the key alive
  });
}

void require_sequence(PyObject* obj) {
  if (!is_sequence(obj)) throw conversion_error(obj, "Sequence");
}

// Exact ints and exact strs read from a list or tuple, gathered so that the sets can
// hash a group and prefetch its slots before probing. Each pending text is a view into
// an object held here (the str itself, or the bytes made from it), so Python code that
// empties the sequence meanwhile cannot free what flush() reads.
class PendingKeys {
 public:
  explicit PendingKeys(BatchAggregatorRecord& keys) : keys_(keys) {}

  // Takes `item` when it is an exact int in 64 bits or an exact str in strict UTF-8
  // (keeping the reference it needs); false, with `item` untouched and nothing pending in
  // the interpreter, for anything else. `remaining` counts the items from this one to the
  // end of the sequence.
  bool take(Ref& item, std::size_t remaining) {
    if (PyLong_CheckExact(item.get())) {
      const std::optional<std::int64_t> value = int64_value(item.get());
      if (!value) return false;
      if (!ints_reserved_) ints_reserved_ = reserve(keys_.int_keys, remaining);
      if (int_count_ == kBatch) flush();
      ints_[int_count_++] = *value;
      return true;
    }
    if (!PyUnicode_CheckExact(item.get())) return false;
    Utf8 text;
    if (!utf8_view(item, text)) {
      clear_unless_panic();  // a lone surrogate: classified again on the general path
      return false;
    }
    if (!texts_reserved_) texts_reserved_ = reserve(keys_.text_keys, remaining);
    if (text_count_ == kBatch) flush();
    texts_[text_count_] = text.view;
    keep_[text_count_++] = std::move(text.keep);
    return true;
  }

  // Adds everything pending to the sets.
  void flush() {
    if (int_count_ != 0) {
      added_ += keys_.int_keys.add_all(std::span(ints_.data(), int_count_));
      int_count_ = 0;
    }
    if (text_count_ != 0) {
      added_ += keys_.text_keys.add_all(std::span(texts_.data(), text_count_));
      for (std::size_t i = 0; i < text_count_; ++i) keep_[i].reset();
      text_count_ = 0;
    }
  }

  // Counts a key added outside the group.
  void count(bool added) noexcept { added_ += added; }
  // Keys newly added so far, flushed ones only.
  std::uint64_t added() const noexcept { return added_; }

 private:
  // Sizes `set` once for the rest of a list or tuple (a real length, since the items
  // exist): growing step by step would rehash and touch fresh pages again and again.
  // Capped, so that a long list of one repeated key reserves 6 MB at most; past
  // the cap the set grows as usual. A size that cannot be reserved is only no help.
  template <class Set>
  static bool reserve(Set& set, std::size_t remaining) noexcept {
    constexpr std::size_t kMaxPresized = std::size_t{1} << 18;
    common::try_reserve(set, std::min(remaining, kMaxPresized));
    return true;
  }

  BatchAggregatorRecord& keys_;
  bool ints_reserved_ = false;
  bool texts_reserved_ = false;
  std::array<std::int64_t, kBatch> ints_;
  std::array<std::string_view, kBatch> texts_;
  std::array<Ref, kBatch> keep_;  // what each of texts_ views: the str, or its bytes
  std::size_t int_count_ = 0;
  std::size_t text_count_ = 0;
  std::uint64_t added_ = 0;
};

PyObject* add_keys_batch(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&] {
    const Bound bound = bind(kAddKeysBatch, args, kwargs);
    Object& instance = object(self);
    // One section on the aggregator and an exact list it reads, for the whole batch.
    const InstanceSection section{self, PyList_CheckExact(bound[0]) ? bound[0] : nullptr};
    ExclusiveHold hold{instance.counter};
    BatchAggregatorRecord& keys = instance.record;
    argument(bound, 0, require_sequence);
    PyObject* sequence = bound[0];
    // Read once: items appended while the batch runs are not looked at.
    const Py_ssize_t size = PySequence_Size(sequence);
    if (size < 0) throw PyError::fetch();
    const bool is_tuple = PyTuple_CheckExact(sequence);
    const bool is_list = PyList_CheckExact(sequence);
    // A list can change while Python code runs, or from another thread while this one
    // waits where there is no interpreter lock: its items are read through ListItems.
    std::optional<ListItems> list_items;
    if (is_list) list_items.emplace(sequence);
    PendingKeys pending{keys};
    for (Py_ssize_t i = 0; i < size; ++i) {
      // Owned from the start: taking a str can fail, and raising that error can collect
      // garbage whose finalizers empty the list.
      Ref item;
      if (is_tuple) {
        item = Ref::borrow(PyTuple_GetItem(sequence, i));
      } else if (is_list) {
        item = list_items->at(i);
      }
      if (item && pending.take(item, std::size_t(size - i))) continue;
      // Python code may run from here on: settle what is pending first, so that the keys
      // of the items before stay whatever happens. Past the end of a shrunk list,
      // PySequence_GetItem raises the IndexError.
      pending.flush();
      if (!item) item = owned(PySequence_GetItem(sequence, i));
      pending.count(add_any(keys, item.get()));
    }
    pending.flush();
    return to_uint(pending.added());
  });
}

PyObject* get_keys(PyObject* self, PyObject*) noexcept {
  return entry([&] {
    Object& instance = object(self);
    const InstanceSection section{self};
    SharedHold hold{instance.counter};
    const BatchAggregatorRecord& keys = instance.record;
    // Nothing below runs Python code, so the sets cannot change while they are read.
    Ref list = new_list(keys.size());
    PyObject* items = list.get();
    // Storing into a new list at an index below its length cannot fail; each call
    // steals the new item.
    Py_ssize_t i = 0;
    for (const std::int64_t key : keys.int_keys.keys()) {
      PyList_SetItem(items, i++, created(PyLong_FromLongLong(key)).release());
    }
    for (std::size_t at = 0; at < keys.text_keys.size(); ++at) {
      const std::string_view text = keys.text_keys.at(at);
      PyList_SetItem(
          items, i++,
          created(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()))).release());
    }
    return list;
  });
}

PyObject* clear(PyObject* self, PyObject*) noexcept {
  return entry([&] {
    Object& instance = object(self);
    const InstanceSection section{self};
    ExclusiveHold hold{instance.counter};
    BatchAggregatorRecord& keys = instance.record;
    keys.int_keys.clear();
    keys.text_keys.clear();
    return none();
  });
}

PyObject* len(PyObject* self, PyObject*) noexcept {
  return entry([&] {
    Object& instance = object(self);
    const InstanceSection section{self};
    SharedHold hold{instance.counter};
    return to_uint(instance.record.size());
  });
}

PyObject* is_empty(PyObject* self, PyObject*) noexcept {
  return entry([&] {
    Object& instance = object(self);
    const InstanceSection section{self};
    SharedHold hold{instance.counter};
    return to_bool_object(instance.record.size() == 0);
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
    method("get_keys", get_keys,
           "get_keys($self)\n--\n\nReturns deduplicated keys as a PyList constructed directly in "
           "Rust"),
    method("clear", clear, "clear($self)\n--\n\n"),
    method("len", len, "len($self)\n--\n\n"),
    method("is_empty", is_empty, "is_empty($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("BatchAggregator()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(instance_new<BatchAggregatorRecord, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<BatchAggregatorRecord>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.BatchAggregator", binding::kBasicSize<BatchAggregatorRecord>, 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

binding::ClassDef& batch_aggregator_class() {
  static binding::ClassDef def{"BatchAggregator", kSpec,
                               binding::process_state.batch_aggregator_type};
  return def;
}

}  // namespace brackwell::batcher
