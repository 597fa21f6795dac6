#include "state_tracker/field_table.h"

#include <algorithm>
#include <stdexcept>

namespace brackwell::state_tracker {
namespace {

// Positions are stored in 32 bits, and the table stays at most half full.
constexpr std::size_t kMaxPositions = std::size_t{1} << 30;
constexpr std::size_t kMinBuckets = 32;

}  // namespace

std::size_t NameIndex::bucket_count() const noexcept {
  return buckets_ ? std::size_t(mask_) + 1 : 0;
}

void NameIndex::clear() noexcept {
  if (count_ == 0) return;
  std::fill_n(buckets_.get(), bucket_count(), Bucket{0, 0});
  count_ = 0;
}

void NameIndex::reserve(std::size_t count) {
  if (count > kMaxPositions) throw std::length_error("too many fields");
  const std::size_t old_count = bucket_count();
  if (2 * count <= old_count) return;
  std::size_t wanted = kMinBuckets;
  while (wanted < 2 * count) wanted *= 2;
  std::unique_ptr<Bucket[]> old(new Bucket[wanted]());
  old.swap(buckets_);
  mask_ = std::uint32_t(wanted - 1);
  // The tag holds the low hash bits, enough to place every position again.
  for (std::size_t i = 0; i < old_count; ++i) {
    if (old[i].position != 0) place(old[i]);
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
