// SmallText: an owned byte string of 16 bytes that keeps texts of up to 15 bytes inside
// itself, so the short names and values a record holds cost no allocation, and copying,
// moving or comparing them is a matter of two machine words. Longer texts live on the
// heap. Construction and copying throw std::bad_alloc; everything else is noexcept.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brackwell::state_tracker {

class SmallText {
 public:
  static constexpr std::size_t kInlineCapacity = 15;

  SmallText() noexcept = default;
  explicit SmallText(std::string_view text) {
    if (text.size() <= kInlineCapacity) {
      copy_inline(text);
    } else {
      assign_heap(text);
    }
  }
  SmallText(const SmallText& other) {
    if (other.is_heap()) {
      assign_heap(other.view());
    } else {
      words_[0] = other.words_[0];
      words_[1] = other.words_[1];
    }
  }
  SmallText(SmallText&& other) noexcept : words_{other.words_[0], other.words_[1]} {
    other.words_[0] = other.words_[1] = 0;
  }
  SmallText& operator=(const SmallText& other) {
    if (this != &other) *this = SmallText(other);
    return *this;
  }
  SmallText& operator=(SmallText&& other) noexcept {
    if (this != &other) {
      release();
      words_[0] = other.words_[0];
      words_[1] = other.words_[1];
      other.words_[0] = other.words_[1] = 0;
    }
    return *this;
  }
  ~SmallText() { release(); }

  // The bytes, valid until this text changes or goes.
  std::string_view view() const noexcept {
    if (is_heap()) return {heap_data(), std::size_t(words_[1] & ~kHeapBit)};
    return {reinterpret_cast<const char*>(words_), std::size_t(words_[1] >> 56)};
  }

  // Equal bytes, lengths first. Inline texts keep their unused bytes zero, so two
  // inline texts are equal exactly when their words are; a heap text is never equal
  // to an inline one, since only texts longer than the inline capacity go to the heap.
  friend bool operator==(const SmallText& a, const SmallText& b) noexcept {
    if (a.words_[0] == b.words_[0] && a.words_[1] == b.words_[1]) return true;
    if (!a.is_heap() || !b.is_heap()) return false;
    return a.view() == b.view();
  }

 private:
  static_assert(std::endian::native == std::endian::little, "the length sits in the top byte");
  static constexpr std::uint64_t kHeapBit = std::uint64_t{1} << 63;

  bool is_heap() const noexcept { return (words_[1] & kHeapBit) != 0; }
  const char* heap_data() const noexcept {
    return reinterpret_cast<const char*>(static_cast<std::uintptr_t>(words_[0]));
  }
  // Fills an empty text with `text`, at most kInlineCapacity bytes. The two words are
  // assembled in registers from fixed-size loads that may overlap (overlapping bytes
  // are equal, so OR-ing them is harmless), with no call and no byte-wise stores.
  void copy_inline(std::string_view text) noexcept {
    const char* from = text.data();
    const std::size_t size = text.size();
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    if (size >= 8) {
      low = load<std::uint64_t>(from);
      if (size > 8) high = load<std::uint64_t>(from + size - 8) >> (8 * (16 - size));
    } else if (size >= 4) {
      low = load<std::uint32_t>(from) | std::uint64_t(load<std::uint32_t>(from + size - 4))
                                            << (8 * (size - 4));
    } else if (size > 0) {
      low = std::uint64_t(std::uint8_t(from[0])) |
            std::uint64_t(std::uint8_t(from[size / 2])) << (8 * (size / 2)) |
            std::uint64_t(std::uint8_t(from[size - 1])) << (8 * (size - 1));
    }
    words_[0] = low;
    words_[1] = high | std::uint64_t(size) << 56;
  }
  template <class Word>
  static Word load(const char* from) noexcept {
    Word word;
    std::memcpy(&word, from, sizeof word);
    return word;
  }
  // Fills an empty text with a heap copy of `text`, longer than kInlineCapacity.
  void assign_heap(std::string_view text);
  void release() noexcept {
    if (is_heap()) delete[] heap_data();
  }

  // Inline: bytes 0..14 hold the text, zero-padded, and byte 15 its length (below
  // 0x80). Heap: word 0 is the pointer, word 1 the length with the top bit set.
  std::uint64_t words_[2] = {0, 0};
};

}  // namespace brackwell::state_tracker
