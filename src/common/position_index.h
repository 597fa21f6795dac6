// PositionIndex: the one hash index of the module. It maps hashes to positions in a
// sequence its owner keeps (fields, keys, column names); it stores no keys, so the owner
// supplies the hashes and says when the item at a position is the one looked for.
// Open addressing with linear probing, at most half full, 8 bytes a slot. Only
// reserve() allocates: it throws std::bad_alloc, or std::length_error past 2^31
// positions; everything else is noexcept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace brackwell::common {

class PositionIndex {
 public:
  static constexpr std::size_t kAbsent = ~std::size_t{0};

  // How many positions are recorded.
  std::size_t size() const noexcept { return count_; }

  // Room for `count` positions in all, so that recording up to that many needs no
  // further allocation. Growing re-places the recorded positions by their stored tags:
  // no key is hashed again.
  void reserve(std::size_t count) {
    if (2 * count > slot_count()) grow(count);  // inline: most calls find room
  }

  // Forgets every position and keeps the slots.
  void clear() noexcept;

  // The recorded position under `hash` for which `same(position)` holds, or kAbsent.
  template <class Same>
  std::size_t find(std::uint64_t hash, Same&& same) const noexcept {
    if (count_ == 0) return kAbsent;
    const std::uint32_t tag = std::uint32_t(hash);
    for (std::uint32_t i = tag & mask_;; i = (i + 1) & mask_) {
      const Slot slot = slots_[i];
      if (slot.position == 0) return kAbsent;
      if (slot.tag == tag && same(std::size_t(slot.position - 1))) return slot.position - 1;
    }
  }

  // The same, but when nothing matches, records `next` under `hash` and returns it.
  // Needs room for one more position (reserve).
  template <class Same>
  std::size_t find_or_add(std::uint64_t hash, std::size_t next, Same&& same) noexcept {
    const std::uint32_t tag = std::uint32_t(hash);
    for (std::uint32_t i = tag & mask_;; i = (i + 1) & mask_) {
      const Slot slot = slots_[i];
      if (slot.position == 0) {
        slots_[i] = Slot{std::uint32_t(next + 1), tag};
        ++count_;
        return next;
      }
      if (slot.tag == tag && same(std::size_t(slot.position - 1))) return slot.position - 1;
    }
  }

  // Records `position` under `hash`, for a key the owner knows is not recorded yet.
  // Needs room for one more position (reserve).
  void add(std::uint64_t hash, std::size_t position) noexcept {
    place(Slot{std::uint32_t(position + 1), std::uint32_t(hash)});
    ++count_;
  }

  // Starts loading the slot where a probe for `hash` begins (a hint; needs slots).
  void prefetch(std::uint64_t hash) const noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(slots_.get() + (std::uint32_t(hash) & mask_), 1);
#endif
  }

 private:
  struct Slot {
    std::uint32_t position;  // position + 1; 0 marks an empty slot
    std::uint32_t tag;       // the hash's low half: placement, and a cheap first compare
  };
  std::size_t slot_count() const noexcept {
    return slots_ ? std::size_t(mask_) + 1 : 0;
  }
  void grow(std::size_t count);
  void place(Slot slot) noexcept;

  // Kept to 16 bytes: every tracker carries an index, and most never use it.
  std::unique_ptr<Slot[]> slots_;
  std::uint32_t mask_ = 0;  // slot count - 1, once there are slots
  std::uint32_t count_ = 0;
};

}  // namespace brackwell::common
