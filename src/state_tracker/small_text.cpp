#include "state_tracker/small_text.h"

#include <new>

namespace brackwell::state_tracker {

void SmallText::assign_heap(std::string_view text) {
  const std::size_t size = text.size();
  if (size > ~std::size_t{0} - sizeof size) throw std::bad_alloc();
  // operator new aligns for any object, so bit 0 of the pointer is clear.
  char* block = static_cast<char*>(::operator new(sizeof size + size));
  std::memcpy(block, &size, sizeof size);
  std::memcpy(block + sizeof size, text.data(), size);
  word_ = reinterpret_cast<std::uintptr_t>(block);
}

void SmallText::release_heap() noexcept {
  ::operator delete(const_cast<char*>(heap()));
}

}  // namespace brackwell::state_tracker
