// SmallText: an owned byte string in one machine word. Texts of up to 7 bytes live
// inside the word itself, so the short names and values a record holds cost no
// allocation, and copying, moving or comparing them is one word. Longer texts live on
// the heap, their length in front of their bytes. Construction and copying throw
// std::bad_alloc; everything else is noexcept.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brackwell::state_tracker {

class SmallText {
 public:
  static constexpr std::size_t kInlineCapacity = 7;

  SmallText() noexcept = default;
  explicit SmallText(std::string_view text) {
    if (text.size() <= kInlineCapacity) {
      word_ = inline_word(text);
    } else {
      assign_heap(text);
    }
  }
  SmallText(const SmallText& other) {
    if (other.is_heap()) {
      assign_heap(other.view());
    } else {
      word_ = other.word_;
    }
  }
  SmallText(SmallText&& other) noexcept : word_(other.word_) { other.word_ = kEmpty; }
  SmallText& operator=(const SmallText& other) {
    if (this != &other) *this = SmallText(other);
    return *this;
  }
  SmallText& operator=(SmallText&& other) noexcept {
    if (this != &other) {
      release();
      word_ = other.word_;
      other.word_ = kEmpty;
    }
    return *this;
  }
  ~SmallText() { release(); }

  // No text at all: a marker for an owner that needs one. Only is_absent(), assignment
  // and destruction may be used on it.
  static SmallText absent() noexcept {
    SmallText marker;
    marker.word_ = 0;
    return marker;
  }
  bool is_absent() const noexcept { return word_ == 0; }

  // The bytes, valid until this text changes or goes.
  std::string_view view() const noexcept {
    if (is_heap()) {
      std::size_t size;
      std::memcpy(&size, heap(), sizeof size);
      return {heap() + sizeof size, size};
    }
    return {reinterpret_cast<const char*>(&word_) + 1, std::size_t(word_ >> 1 & 7)};
  }

  // Equal bytes. Inline texts keep their unused bytes zero, so two inline texts are
  // equal exactly when their words are; a heap text is never equal to an inline one,
  // since only texts longer than the inline capacity go to the heap.
  friend bool operator==(const SmallText& a, const SmallText& b) noexcept {
    if (a.word_ == b.word_) return true;
    if (!a.is_heap() || !b.is_heap()) return false;
    return a.view() == b.view();
  }

 private:
  static_assert(std::endian::native == std::endian::little, "the tag sits in the low byte");
  static constexpr std::uint64_t kEmpty = 1;  // inline, length 0

  bool is_heap() const noexcept { return (word_ & 1) == 0; }
  // The heap block: the size (a size_t), then the bytes.
  const char* heap() const noexcept {
    return reinterpret_cast<const char*>(static_cast<std::uintptr_t>(word_));
  }
  // The word of an inline text: the tag bit and the length in byte 0, the bytes above,
  // assembled from fixed-size loads that may overlap (overlapping bytes are equal, so
  // OR-ing them is harmless), with no call and no byte-wise stores.
  static std::uint64_t inline_word(std::string_view text) noexcept {
    const char* from = text.data();
    const std::size_t size = text.size();
    std::uint64_t bytes = 0;
    if (size >= 4) {
      bytes = load32(from) | std::uint64_t(load32(from + size - 4)) << (8 * (size - 4));
    } else if (size > 0) {
      bytes = std::uint64_t(std::uint8_t(from[0])) |
              std::uint64_t(std::uint8_t(from[size / 2])) << (8 * (size / 2)) |
              std::uint64_t(std::uint8_t(from[size - 1])) << (8 * (size - 1));
    }
    return bytes << 8 | std::uint64_t(size) << 1 | 1;
  }
  static std::uint32_t load32(const char* from) noexcept {
    std::uint32_t word;
    std::memcpy(&word, from, sizeof word);
    return word;
  }
  // Fills an empty text with a heap copy of `text`, longer than kInlineCapacity.
  void assign_heap(std::string_view text);
  // Inline so that dropping an inline or moved-from text, the common case, costs no call.
  void release() noexcept {
    if (is_heap() && word_ != 0) release_heap();
  }
  void release_heap() noexcept;

  // Inline (bit 0 set): byte 0 holds the length times two plus one, bytes 1..7 the
  // text, zero-padded. Heap (bit 0 clear): a pointer to the size and the bytes; a null
  // pointer is the absent marker.
  std::uint64_t word_ = kEmpty;
};

}  // namespace brackwell::state_tracker
