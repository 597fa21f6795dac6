#include "batcher/key_set.h"

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>

#include "common/seeded_hash.h"

namespace brackwell::batcher {
namespace {

// Positions are stored in 32 bits beside a 32-bit hash tag.
constexpr std::size_t kMaxKeys = 0xFFFFFFFEu;
constexpr std::size_t kMinSlots = 8;
constexpr std::uint64_t kTagBits = 0xFFFFFFFF00000000u;

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
  const std::uint64_t tag = hash & kTagBits;
  // The low bits pick the slot, the high bits (the tag) screen out most unequal keys
  // before the owner compares them.
  for (std::size_t i = std::size_t(hash) & mask;; i = (i + 1) & mask) {
    const std::uint64_t slot = slots_[i];
    if (slot == 0) {
      slots_[i] = tag | (next + 1);
      return next;
    }
    if ((slot & kTagBits) == tag) {
      const std::size_t position = std::size_t(slot & ~kTagBits) - 1;
      if (equal(position)) return position;
    }
  }
}

void PositionIndex::prefetch(std::uint64_t hash) const noexcept {
  __builtin_prefetch(slots_.data() + (std::size_t(hash) & (slots_.size() - 1)), 1);
}

template <class HashAt>
void PositionIndex::reserve(std::size_t recorded, std::size_t count, HashAt&& hash_at) {
  // At most half full, so that probe chains stay short.
  if (count <= slots_.size() / 2) return;
  if (count > kMaxKeys) throw std::length_error("too many keys");
  std::vector<std::uint64_t> slots(std::max(kMinSlots, std::bit_ceil(2 * count)));
  const std::size_t mask = slots.size() - 1;
  // In position order, so the keys are read front to back, a group at a time with the
  // slots prefetched. The keys are all distinct, so each only needs an empty slot.
  std::array<std::uint64_t, kBatch> hashes;
  for (std::size_t done = 0; done < recorded; done += kBatch) {
    const std::size_t group = std::min(kBatch, recorded - done);
    for (std::size_t k = 0; k < group; ++k) {
      hashes[k] = hash_at(done + k);
      __builtin_prefetch(slots.data() + (std::size_t(hashes[k]) & mask), 1);
    }
    for (std::size_t k = 0; k < group; ++k) {
      std::size_t i = std::size_t(hashes[k]) & mask;
      while (slots[i] != 0) i = (i + 1) & mask;
      slots[i] = (hashes[k] & kTagBits) | (done + k + 1);
    }
  }
  slots_ = std::move(slots);
}

void PositionIndex::clear() noexcept {
  std::fill(slots_.begin(), slots_.end(), 0);
}

void IntKeySet::make_room_for(std::size_t extra) {
  make_room(keys_, extra);
  index_.reserve(keys_.size(), keys_.size() + extra,
                 [&](std::size_t at) { return hash_int(keys_[at]); });
}

bool IntKeySet::insert(std::int64_t key, std::uint64_t hash) {
  const std::size_t next = keys_.size();
  const std::size_t position =
      index_.find_or_add(hash, next, [&](std::size_t at) { return keys_[at] == key; });
  if (position != next) return false;
  keys_.push_back(key);  // cannot reallocate: room was made
  return true;
}

void IntKeySet::reserve(std::size_t extra) {
  make_room_for(extra);
}

bool IntKeySet::add(std::int64_t key) {
  make_room_for(1);
  return insert(key, hash_int(key));
}

std::size_t IntKeySet::add_all(std::span<const std::int64_t> keys) {
  make_room_for(keys.size());
  std::array<std::uint64_t, kBatch> hashes;
  std::size_t added = 0;
  for (std::size_t done = 0; done < keys.size(); done += kBatch) {
    const std::span<const std::int64_t> part =
        keys.subspan(done, std::min(kBatch, keys.size() - done));
    // Start every slot's cache line loading before the first probe.
    for (std::size_t i = 0; i < part.size(); ++i) index_.prefetch(hashes[i] = hash_int(part[i]));
    for (std::size_t i = 0; i < part.size(); ++i) added += insert(part[i], hashes[i]);
  }
  return added;
}

void IntKeySet::clear() noexcept {
  keys_.clear();
  index_.clear();
}

void TextKeySet::make_room_for(std::size_t count, std::size_t bytes) {
  make_room(ends_, count);
  make_room(bytes_, bytes);
  index_.reserve(ends_.size(), ends_.size() + count,
                 [&](std::size_t position) { return common::hash_bytes(at(position)); });
}

bool TextKeySet::insert(std::string_view key, std::uint64_t hash) {
  const std::size_t next = ends_.size();
  const std::size_t position =
      index_.find_or_add(hash, next, [&](std::size_t position) { return at(position) == key; });
  if (position != next) return false;
  bytes_.insert(bytes_.end(), key.begin(), key.end());  // room was made
  ends_.push_back(bytes_.size());
  return true;
}

void TextKeySet::reserve(std::size_t extra) {
  make_room_for(extra, 0);
}

bool TextKeySet::add(std::string_view key) {
  make_room_for(1, key.size());
  return insert(key, common::hash_bytes(key));
}

std::size_t TextKeySet::add_all(std::span<const std::string_view> keys) {
  std::size_t bytes = 0;
  for (const std::string_view key : keys) bytes += key.size();
  make_room_for(keys.size(), bytes);
  std::array<std::uint64_t, kBatch> hashes;
  std::size_t added = 0;
  for (std::size_t done = 0; done < keys.size(); done += kBatch) {
    const std::span<const std::string_view> part =
        keys.subspan(done, std::min(kBatch, keys.size() - done));
    for (std::size_t i = 0; i < part.size(); ++i) {
      index_.prefetch(hashes[i] = common::hash_bytes(part[i]));
    }
    for (std::size_t i = 0; i < part.size(); ++i) added += insert(part[i], hashes[i]);
  }
  return added;
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
