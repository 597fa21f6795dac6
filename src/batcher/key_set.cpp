#include "batcher/key_set.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/seeded_hash.h"
#include "common/word_load.h"

namespace brackwell::batcher {
namespace {

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

// Whether two texts are the same bytes. Keys are mostly short: up to 16 bytes, two
// fixed-size compares (overlapping where the length is not twice their size) settle them
// without a call to memcmp.
bool same_text(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* x = a.data();
  const char* y = b.data();
  if (n > 16) return std::memcmp(x, y, n) == 0;
  using common::load32, common::load64;
  if (n >= 8) return load64(x) == load64(y) && load64(x + n - 8) == load64(y + n - 8);
  if (n >= 4) return load32(x) == load32(y) && load32(x + n - 4) == load32(y + n - 4);
  // Bytes 0, n / 2 and n - 1 cover every byte of 1 to 3.
  return n == 0 || (x[0] == y[0] && x[n / 2] == y[n / 2] && x[n - 1] == y[n - 1]);
}

}  // namespace

void IntKeySet::make_room_for(std::size_t extra) {
  make_room(keys_, extra);
  index_.reserve(keys_.size() + extra);
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
  const std::uint64_t hash = hash_int(key);
  // A key seen before, the usual case when records share a key, is settled by one probe
  // without making room; a new key probes again as it is inserted.
  if (index_.find(hash, [&](std::size_t at) { return keys_[at] == key; }) !=
      common::PositionIndex::kAbsent) {
    return false;
  }
  make_room_for(1);
  return insert(key, hash);
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
  index_.reserve(ends_.size() + count);
}

bool TextKeySet::insert(std::string_view key, std::uint64_t hash) {
  const std::size_t next = ends_.size();
  const std::size_t position = index_.find_or_add(
      hash, next, [&](std::size_t position) { return same_text(at(position), key); });
  if (position != next) return false;
  bytes_.insert(bytes_.end(), key.begin(), key.end());  // room was made
  ends_.push_back(bytes_.size());
  return true;
}

void TextKeySet::reserve(std::size_t extra) {
  make_room_for(extra, 0);
}

bool TextKeySet::add(std::string_view key) {
  const std::uint64_t hash = common::hash_bytes(key);
  // As IntKeySet::add: a key already present is settled by one probe, with no room made.
  if (index_.find(hash, [&](std::size_t position) { return same_text(at(position), key); }) !=
      common::PositionIndex::kAbsent) {
    return false;
  }
  make_room_for(1, key.size());
  return insert(key, hash);
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
