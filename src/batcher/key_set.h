// Deduplicating key sets that remember the order in which keys were first added: one of
// 64-bit integers and one of UTF-8 texts (compared byte for byte). Each set owns its
// keys; texts are copied in. Hashing is keyed per process, so crafted keys cannot pile
// up in one probe chain, while the order handed out never depends on the hash.
// Throws only std::bad_alloc, or std::length_error past 2^31 keys; a failed add leaves
// the set as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/position_index.h"

namespace brackwell::batcher {

// Keys that add_all() hashes and prefetches ahead of probing them.
inline constexpr std::size_t kBatch = 32;

// Integer keys, first-added order.
class IntKeySet {
 public:
  // Adds `key` unless present; true when it was added.
  bool add(std::int64_t key);
  // Adds each key in order as add() does; the number added. Room for all of them is
  // made first, so callers pass small groups.
  std::size_t add_all(std::span<const std::int64_t> keys);
  // Makes room for `extra` more keys, so that adding them does not grow the storage.
  void reserve(std::size_t extra);
  std::size_t size() const noexcept { return keys_.size(); }
  // Every key once, in the order first added.
  std::span<const std::int64_t> keys() const noexcept { return keys_; }
  // Empties the set and keeps its storage.
  void clear() noexcept;

 private:
  void make_room_for(std::size_t extra);
  bool insert(std::int64_t key, std::uint64_t hash);

  std::vector<std::int64_t> keys_;
  common::PositionIndex index_;
};

// Text keys, first-added order. The bytes of all keys sit in one buffer, so keys of
// any length cost no allocation of their own and clear() keeps all of it.
class TextKeySet {
 public:
  // Adds a copy of `key` unless an equal text is present; true when it was added.
  bool add(std::string_view key);
  // Adds each key in order as add() does; the number added. Room for all of them is
  // made first, so callers pass small groups.
  std::size_t add_all(std::span<const std::string_view> keys);
  // Makes room for `extra` more keys, so that adding them does not grow the index.
  void reserve(std::size_t extra);
  std::size_t size() const noexcept { return ends_.size(); }
  // The key added `position`-th (from 0); valid until the next add or clear.
  std::string_view at(std::size_t position) const noexcept;
  // Empties the set and keeps its storage.
  void clear() noexcept;

 private:
  void make_room_for(std::size_t count, std::size_t bytes);
  bool insert(std::string_view key, std::uint64_t hash);

  std::vector<char> bytes_;
  std::vector<std::size_t> ends_;  // end offset of each key in bytes_
  common::PositionIndex index_;
};

}  // namespace brackwell::batcher
