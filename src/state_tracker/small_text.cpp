#include "state_tracker/small_text.h"

#include <new>

namespace brackwell::state_tracker {

void SmallText::assign_heap(std::string_view text) {
  const std::size_t size = text.size();
  if (size >= kHeapBit) throw std::bad_alloc();
  char* data = new char[size];
  std::memcpy(data, text.data(), size);
  words_[0] = reinterpret_cast<std::uintptr_t>(data);
  words_[1] = std::uint64_t(size) | kHeapBit;
}

}  // namespace brackwell::state_tracker
