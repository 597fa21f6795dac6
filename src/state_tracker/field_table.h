// The field table: for every field of one record, the display text it had when it last
// became clean, the text assigned since, and (for the Python-facing tracker) the object
// assigned. One template serves both trackers; the stored object type is a parameter.
// The table owns its names, texts and objects. Only allocation fails (std::bad_alloc,
// std::length_error), and a failed operation leaves the table as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/seeded_hash.h"

namespace brackwell::state_tracker {

// One tracked field. It is dirty exactly when its two texts differ.
template <class Value>
struct FieldEntry {
  std::string snapshot_text;
  std::string current_text;
  [[no_unique_address]] Value current_value;

  // Lengths first, then bytes: no other notion of equality exists.
  bool dirty() const noexcept { return snapshot_text != current_text; }
};

// The stored object of the text-only tracker: nothing.
struct NoObject {};

// Name-to-position index for tables too large for a linear scan. Open addressing with
// linear probing over (position, low 32 bits of the keyed hash); at most half full.
class NameIndex {
 public:
  static constexpr std::size_t kAbsent = ~std::size_t{0};

  // Forgets every position; keeps the storage.
  void clear() noexcept;
  // Room for `count` positions, so that insert() below that count cannot fail.
  // Throws std::bad_alloc, or std::length_error beyond 2^31 positions.
  void reserve(std::size_t count);
  // Records `position` under `hash`; room must have been reserved.
  void insert(std::uint64_t hash, std::size_t position) noexcept;
  // How many positions are recorded.
  std::size_t size() const noexcept { return count_; }

  // The recorded position under `hash` for which `same(position)` holds, or kAbsent.
  template <class Same>
  std::size_t find(std::uint64_t hash, Same&& same) const noexcept {
    if (count_ == 0) return kAbsent;
    const auto tag = std::uint32_t(hash);
    for (std::size_t i = tag & mask_;; i = (i + 1) & mask_) {
      const Bucket& bucket = buckets_[i];
      if (bucket.position == 0) return kAbsent;
      if (bucket.tag == tag && same(std::size_t(bucket.position - 1))) return bucket.position - 1;
    }
  }

 private:
  struct Bucket {
    std::uint32_t position;  // position + 1; 0 marks an empty bucket
    std::uint32_t tag;       // low bits of the hash: placement, and a cheap first compare
  };
  void place(Bucket bucket) noexcept;

  std::vector<Bucket> buckets_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

// Fields in insertion order: a field keeps the position where its name first entered
// the table until the next reload. Names are compared by their exact bytes. Tables of
// up to kLinearLimit fields are searched by a scan; larger ones through a NameIndex.
//
// For a Value that releases something when destroyed (and may run foreign code then),
// the table is consistent whenever that happens: a replaced value is released after the
// new one is stored, and values being dropped are out of the table first.
template <class Value>
class FieldTable {
 public:
  struct Field {
    std::string name;
    FieldEntry<Value> entry;
  };
  static constexpr std::size_t kLinearLimit = 8;

  // Every field with its name, in insertion order.
  std::span<const Field> fields() const noexcept { return fields_; }
  std::size_t size() const noexcept { return fields_.size(); }

  // The entry named `name`, or nullptr.
  const FieldEntry<Value>* find(std::string_view name) const noexcept {
    const std::size_t position = position_of(name);
    return position == NameIndex::kAbsent ? nullptr : &fields_[position].entry;
  }
  FieldEntry<Value>* find(std::string_view name) noexcept {
    const std::size_t position = position_of(name);
    return position == NameIndex::kAbsent ? nullptr : &fields_[position].entry;
  }

  // Stores `value` and its display text under `name`. A known field gets a new current
  // text and value and keeps its snapshot text; a new name enters clean, at the end.
  void assign(std::string_view name, std::string text, Value value) {
    if (FieldEntry<Value>* entry = find(name)) {
      entry->current_text = std::move(text);
      [[maybe_unused]] Value old = std::exchange(entry->current_value, std::move(value));
      return;  // `old` goes last, with the table already consistent
    }
    std::string snapshot = text;
    append(name, std::move(snapshot), std::move(text), std::move(value));
  }

  // Stores a clean field during a reload: both texts are `text`. A name this reload
  // already stored is replaced where it stands.
  void load(std::string_view name, std::string text, Value value) {
    if (FieldEntry<Value>* entry = find(name)) {
      entry->snapshot_text = text;
      entry->current_text = std::move(text);
      [[maybe_unused]] Value old = std::exchange(entry->current_value, std::move(value));
      return;
    }
    std::string snapshot = text;
    append(name, std::move(snapshot), std::move(text), std::move(value));
  }

  // Starts a reload of `count` fields: drops every field, keeps the storage, and grows
  // it at most once so that `count` loads need no further growth.
  void begin_reload(std::size_t count) {
    // Each value leaves its entry before it is released, so a release that runs
    // foreign code never finds a released value in the table.
    for (Field& field : fields_) [[maybe_unused]] Value dropped = std::move(field.entry.current_value);
    fields_.clear();
    index_.clear();
    if (count > fields_.capacity()) fields_.reserve(count);
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
  void commit() {
    for (Field& field : fields_) {
      if (field.entry.dirty()) field.entry.snapshot_text = field.entry.current_text;
    }
  }

  // Empties the table. The fields leave it before any value is released.
  void clear() noexcept {
    std::vector<Field> dropped;
    dropped.swap(fields_);
    index_ = NameIndex();
  }

 private:
  std::size_t position_of(std::string_view name) const noexcept {
    if (fields_.size() <= kLinearLimit) {
      for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (fields_[i].name == name) return i;
      }
      return NameIndex::kAbsent;
    }
    return index_.find(common::hash_bytes(name),
                       [&](std::size_t position) { return fields_[position].name == name; });
  }

  void append(std::string_view name, std::string snapshot, std::string text, Value value) {
    // Everything that can fail happens before the table changes.
    std::string owned_name(name);
    const std::size_t size = fields_.size();
    if (size == fields_.capacity()) fields_.reserve(size < 4 ? 4 : 2 * size);
    if (size + 1 > kLinearLimit) index_.reserve(size + 1);
    fields_.push_back(
        Field{std::move(owned_name),
              FieldEntry<Value>{std::move(snapshot), std::move(text), std::move(value)}});
    // The first time the table outgrows the scan, every earlier name joins the index.
    if (fields_.size() > kLinearLimit) {
      for (std::size_t p = index_.size(); p < fields_.size(); ++p) {
        index_.insert(common::hash_bytes(fields_[p].name), p);
      }
    }
  }

  std::vector<Field> fields_;
  NameIndex index_;
};

}  // namespace brackwell::state_tracker
