#include "state_tracker/field_table.h"

#include <algorithm>
#include <stdexcept>

namespace brackwell::state_tracker {
namespace {

// Positions are stored in 32 bits, and the table stays at most half full.
constexpr std::size_t kMaxPositions = std::size_t{1} << 31;
constexpr std::size_t kMinBuckets = 32;

}  // namespace

void NameIndex::clear() noexcept {
  std::fill(buckets_.begin(), buckets_.end(), Bucket{0, 0});
  count_ = 0;
}

void NameIndex::reserve(std::size_t count) {
  if (count > kMaxPositions) throw std::length_error("too many fields");
  if (2 * count <= buckets_.size()) return;
  std::size_t wanted = kMinBuckets;
  while (wanted < 2 * count) wanted *= 2;
  std::vector<Bucket> old(wanted, Bucket{0, 0});
  old.swap(buckets_);
  mask_ = wanted - 1;
  // The tag holds the low hash bits, enough to place every position again.
  for (const Bucket& bucket : old) {
    if (bucket.position != 0) place(bucket);
  }
}

void NameIndex::insert(std::uint64_t hash, std::size_t position) noexcept {
  place(Bucket{std::uint32_t(position + 1), std::uint32_t(hash)});
  ++count_;
}

void NameIndex::place(Bucket bucket) noexcept {
  std::size_t i = bucket.tag & mask_;
  while (buckets_[i].position != 0) i = (i + 1) & mask_;
  buckets_[i] = bucket;
}

}  // namespace brackwell::state_tracker
