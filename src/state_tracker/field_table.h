// The field table: for every field of one record, the display text it had when it last
// became clean, the text assigned since, and (for the Python-facing tracker) the object
// assigned. One template serves both trackers; the stored object type is a parameter.
// The table owns its names, texts and objects. Only allocation fails (std::bad_alloc,
// std::length_error), and a failed operation leaves the table as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/position_index.h"
#include "common/seeded_hash.h"
#include "state_tracker/small_text.h"

namespace brackwell::state_tracker {

// One tracked field. It is dirty exactly when its two texts differ, which is kept in the
// form of the current text: absent while it equals the snapshot text, so that a clean
// field holds its text once and committing copies nothing.
template <class Value>
struct FieldEntry {
  SmallText snapshot_text;
  SmallText current_text = SmallText::absent();
  [[no_unique_address]] Value current_value;

  bool dirty() const noexcept { return !current_text.is_absent(); }
  // The current text, whether or not it differs.
  std::string_view current_view() const noexcept {
    return dirty() ? current_text.view() : snapshot_text.view();
  }
  // A new current text. It is compared before anything is copied, so assigning a field
  // its snapshot text or its current text again, the common case, allocates nothing.
  void set_current(std::string_view text) {
    if (text == snapshot_text.view()) {
      current_text = SmallText::absent();
    } else if (!dirty() || text != current_text.view()) {
      current_text = SmallText(text);
    }
  }
  // Both texts become `text`: the field is clean.
  void set_clean(std::string_view text) {
    snapshot_text = SmallText(text);
    current_text = SmallText::absent();
  }
  // The current text becomes the snapshot text.
  void commit() noexcept {
    if (!dirty()) return;
    snapshot_text = std::move(current_text);
    current_text = SmallText::absent();
  }
};

// The stored object of the text-only tracker: nothing.
struct NoObject {};

// Fields in insertion order: a field keeps the position where its name first entered
// the table until the next reload. Names are compared by their exact bytes. Tables of
// up to kLinearLimit fields are searched by a scan; larger ones through a PositionIndex.
//
// For a Value that releases something when destroyed (and may run foreign code then),
// the table is consistent whenever that happens: a replaced value is released after the
// new one is stored, and values being dropped are out of the table first.
//
// The fields' storage comes from `Allocator` (the heap by default; the native benchmark
// gives all its tables one arena).
template <class Value, class Allocator = std::allocator<char>>
class FieldTable {
 public:
  struct Field {
    SmallText name;
    FieldEntry<Value> entry;
  };
  static constexpr std::size_t kLinearLimit = 16;

  FieldTable() = default;
  explicit FieldTable(const Allocator& allocator) : fields_(FieldAllocator(allocator)) {}

  // Every field with its name, in insertion order.
  std::span<const Field> fields() const noexcept { return fields_; }
  std::size_t size() const noexcept { return fields_.size(); }

  static constexpr std::size_t kAbsent = common::PositionIndex::kAbsent;

  // The position of the field named `name`, or kAbsent.
  std::size_t position(std::string_view name) const noexcept {
    return position_of(name, hash_if_indexed(name));
  }
  // The entry named `name`, or nullptr.
  const FieldEntry<Value>* find(std::string_view name) const noexcept {
    const std::size_t at = position(name);
    return at == kAbsent ? nullptr : &fields_[at].entry;
  }
  FieldEntry<Value>* find(std::string_view name) noexcept {
    const std::size_t at = position(name);
    return at == kAbsent ? nullptr : &fields_[at].entry;
  }

  // Stores `value` and its display text under `name`; returns the field's position. A
  // known field gets a new current text and value and keeps its snapshot text; a new
  // name enters clean, at the end.
  std::size_t assign(std::string_view name, std::string_view text, Value value) {
    return store(name, text, std::move(value), false);
  }

  // The same for the known field at `position`.
  void assign_at(std::size_t position, std::string_view text, Value value) {
    replace(fields_[position].entry, text, std::move(value), false);
  }

  // Stores a clean field during a reload: both texts are `text`. A name this reload
  // already stored is replaced where it stands. Returns the field's position.
  std::size_t load(std::string_view name, std::string_view text, Value value) {
    return store(name, text, std::move(value), true);
  }

  // The same for a name the caller knows this reload has not stored yet (the keys of
  // one dict that are exact str have distinct bytes): no lookup is needed.
  std::size_t load_new(std::string_view name, std::string_view text, Value value) {
    return append(name, hash_if_indexed_after_one_more(name), text, std::move(value));
  }

  // Starts a reload of `count` fields: drops every field, keeps the storage, and grows
  // it at most once so that `count` loads need no further growth.
  void begin_reload(std::size_t count) {
    // Each value leaves its entry before it is released, so a release that runs
    // foreign code never finds a released value in the table.
    for (Field& field : fields_) {
      [[maybe_unused]] Value dropped = std::move(field.entry.current_value);
    }
    fields_.clear();
    index_.clear();
    fields_.reserve(count);
    if (count > kLinearLimit) index_.reserve(count);
  }

  // True when some field is dirty; stops at the first one.
  bool any_dirty() const noexcept {
    for (const Field& field : fields_) {
      if (field.entry.dirty()) return true;
    }
    return false;
  }

  // How many fields are dirty.
  std::size_t dirty_count() const noexcept {
    std::size_t count = 0;
    for (const Field& field : fields_) count += field.entry.dirty() ? 1 : 0;
    return count;
  }

  // Makes every field clean: each snapshot text becomes its current text.
  void commit() noexcept {
    for (Field& field : fields_) field.entry.commit();
  }

  // Empties the table. The fields leave it before any value is released.
  void clear() noexcept {
    Fields dropped(fields_.get_allocator());
    dropped.swap(fields_);
    index_ = common::PositionIndex();
  }

 private:
  // The name's hash when lookups go through the index; unused (0) for a scan.
  std::uint64_t hash_if_indexed(std::string_view name) const noexcept {
    return fields_.size() > kLinearLimit ? common::hash_bytes(name) : 0;
  }

  std::size_t position_of(std::string_view name, std::uint64_t hash) const noexcept {
    if (fields_.size() <= kLinearLimit) return scan(name);
    return index_.find(hash,
                       [&](std::size_t position) { return fields_[position].name.view() == name; });
  }

  std::size_t scan(std::string_view name) const noexcept {
    if (name.size() <= SmallText::kInlineCapacity) {
      // An inline probe compares with each name in one word, without a call.
      const SmallText probe(name);
      for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (fields_[i].name == probe) return i;
      }
      return kAbsent;
    }
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      if (fields_[i].name.view() == name) return i;
    }
    return kAbsent;
  }

  std::size_t store(std::string_view name, std::string_view text, Value value, bool clean) {
    const std::uint64_t hash = hash_if_indexed_after_one_more(name);
    const std::size_t at = position_of(name, hash);
    if (at == kAbsent) return append(name, hash, text, std::move(value));
    replace(fields_[at].entry, text, std::move(value), clean);
    return at;
  }

  static void replace(FieldEntry<Value>& entry, std::string_view text, Value value, bool clean) {
    if (clean) {
      entry.set_clean(text);
    } else {
      entry.set_current(text);
    }
    [[maybe_unused]] Value old = std::exchange(entry.current_value, std::move(value));
    // `old` goes last, with the table already consistent
  }

  // The hash an insertion would need: computed once the table (grown by one) no longer
  // fits the scan, so that the same hash serves the lookup and the insertion.
  std::uint64_t hash_if_indexed_after_one_more(std::string_view name) const noexcept {
    return fields_.size() >= kLinearLimit ? common::hash_bytes(name) : 0;
  }

  // Adds a new clean field at the end; `hash` is the name's hash if the grown table
  // needs the index. Everything that can fail happens before the table changes.
  std::size_t append(std::string_view name, std::uint64_t hash, std::string_view text,
                     Value value) {
    Field field{SmallText(name),
                FieldEntry<Value>{SmallText(text), SmallText::absent(), std::move(value)}};
    const std::size_t size = fields_.size();
    if (size == fields_.capacity()) fields_.reserve(size < 4 ? 4 : 2 * size);
    if (size + 1 > kLinearLimit) index_.reserve(size + 1);
    fields_.push_back(std::move(field));
    if (size < kLinearLimit) return size;
    // The first time the table outgrows the scan, every earlier name joins the index.
    for (std::size_t p = index_.size(); p < size; ++p) {
      index_.add(common::hash_bytes(fields_[p].name.view()), p);
    }
    index_.add(hash, size);
    return size;
  }

  using FieldAllocator = typename std::allocator_traits<Allocator>::template rebind_alloc<Field>;
  using Fields = std::vector<Field, FieldAllocator>;
  Fields fields_;
  common::PositionIndex index_;
};

}  // namespace brackwell::state_tracker
