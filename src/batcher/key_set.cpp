#include "batcher/key_set.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "common/seeded_hash.h"

namespace brackwell::batcher {
namespace {

// Positions are stored in 32 bits beside a 32-bit hash tag.
constexpr std::size_t kMaxKeys = 0xFFFFFFFEu;
constexpr std::size_t kMinSlots = 8;

// Grows `items` geometrically so that `extra` more fit: done before a key is recorded in
// the index, so that storing it afterwards cannot fail halfway.
template <class Vector>
void make_room(Vector& items, std::size_t extra) {
  if (items.capacity() - items.size() >= extra) return;
  items.reserve(std::max({items.size() + extra, 2 * items.capacity(), std::size_t{16}}));
}

std::uint64_t hash_int(std::int64_t key) noexcept {
  return common::hash_u64(static_cast<std::uint64_t>(key));
}

}  // namespace

template <class Equal>
std::size_t PositionIndex::find_or_add(std::uint64_t hash, std::size_t next, Equal&& equal) {
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t tag = hash & 0xFFFFFFFF00000000u;
  // The low bits pick the slot, the high bits (the tag) screen out most unequal keys
  // before the owner compares them.
  for (std::size_t i = std::size_t(hash) & mask;; i = (i + 1) & mask) {
    const std::uint64_t slot = slots_[i];
    if (slot == 0) {
      slots_[i] = tag | (next + 1);
      return next;
    }
    if ((slot & 0xFFFFFFFF00000000u) == tag) {
      const std::size_t position = std::size_t(slot & 0xFFFFFFFFu) - 1;
      if (equal(position)) return position;
    }
  }
}

template <class HashAt>
void PositionIndex::reserve(std::size_t count, HashAt&& hash_at) {
  // At most half full, so that probe chains stay short.
  if (count <= slots_.size() / 2) return;
  if (count > kMaxKeys) throw std::length_error("too many keys");
  std::vector<std::uint64_t> slots(std::max(kMinSlots, std::bit_ceil(2 * count)));
  const std::size_t mask = slots.size() - 1;
  // Every key already recorded is distinct, so each only needs an empty slot.
  for (const std::uint64_t old : slots_) {
    if (old == 0) continue;
    const std::uint64_t hash = hash_at(std::size_t(old & 0xFFFFFFFFu) - 1);
    std::size_t i = std::size_t(hash) & mask;
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = old;
  }
  slots_ = std::move(slots);
}

void PositionIndex::clear() noexcept {
  std::fill(slots_.begin(), slots_.end(), 0);
}

bool IntKeySet::add(std::int64_t key) {
  const std::size_t next = keys_.size();
  make_room(keys_, 1);
  index_.reserve(next + 1, [&](std::size_t position) { return hash_int(keys_[position]); });
  const std::size_t position =
      index_.find_or_add(hash_int(key), next, [&](std::size_t at) { return keys_[at] == key; });
  if (position != next) return false;
  keys_.push_back(key);
  return true;
}

void IntKeySet::clear() noexcept {
  keys_.clear();
  index_.clear();
}

bool TextKeySet::add(std::string_view key) {
  const std::size_t next = ends_.size();
  make_room(ends_, 1);
  make_room(bytes_, key.size());
  index_.reserve(next + 1, [&](std::size_t at) { return common::hash_bytes(this->at(at)); });
  const std::size_t position = index_.find_or_add(
      common::hash_bytes(key), next, [&](std::size_t at) { return this->at(at) == key; });
  if (position != next) return false;
  bytes_.insert(bytes_.end(), key.begin(), key.end());
  ends_.push_back(bytes_.size());
  return true;
}

std::string_view TextKeySet::at(std::size_t position) const noexcept {
  const std::size_t begin = position == 0 ? 0 : ends_[position - 1];
  return std::string_view(bytes_.data() + begin, ends_[position] - begin);
}

void TextKeySet::clear() noexcept {
  bytes_.clear();
  ends_.clear();
  index_.clear();
}

}  // namespace brackwell::batcher
