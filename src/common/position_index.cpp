#include "common/position_index.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace brackwell::common {
namespace {

// Positions and the slot mask are 32-bit, and the index stays at most half full.
constexpr std::size_t kMaxPositions = std::size_t{1} << 31;
constexpr std::size_t kMinSlots = 8;

}  // namespace

void PositionIndex::grow(std::size_t count) {
  const std::size_t old_count = slot_count();
  if (count > kMaxPositions) throw std::length_error("too many positions");
  const std::size_t wanted = std::max(kMinSlots, std::bit_ceil(2 * count));
  std::unique_ptr<Slot[]> old(new Slot[wanted]());
  old.swap(slots_);
  mask_ = std::uint32_t(wanted - 1);
  // The tag holds the low hash bits, all that placement needs.
  for (std::size_t i = 0; i < old_count; ++i) {
    if (old[i].position != 0) place(old[i]);
  }
}

void PositionIndex::clear() noexcept {
  if (count_ == 0) return;
  std::fill_n(slots_.get(), std::size_t(mask_) + 1, Slot{0, 0});
  count_ = 0;
}

void PositionIndex::place(Slot slot) noexcept {
  std::uint32_t i = slot.tag & mask_;
  while (slots_[i].position != 0) i = (i + 1) & mask_;
  slots_[i] = slot;
}

}  // namespace brackwell::common
