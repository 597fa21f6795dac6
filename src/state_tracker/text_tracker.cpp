#include "state_tracker/text_tracker.h"

#include <charconv>

namespace brackwell::state_tracker {

NativeRustTracker::NativeRustTracker(std::uint64_t id, std::pmr::memory_resource* memory)
    : table_(std::pmr::polymorphic_allocator<char>(memory)) {
  // Four distinct names: none needs a lookup before it is added.
  char digits[24];
  char* end = std::to_chars(digits, digits + sizeof digits, id).ptr;
  table_.load_new("id", std::string_view(digits, std::size_t(end - digits)), NoObject{});
  table_.load_new("name", "Alice", NoObject{});
  table_.load_new("age", "25", NoObject{});
  table_.load_new("active", "true", NoObject{});
}

bool NativeRustTracker::set_current_text(std::string_view name, std::string_view text) {
  FieldEntry<NoObject>* entry = table_.find(name);
  if (!entry) return false;
  entry->set_current(text);
  return true;
}

}  // namespace brackwell::state_tracker
