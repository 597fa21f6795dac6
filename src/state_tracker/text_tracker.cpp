#include "state_tracker/text_tracker.h"

#include <charconv>
#include <string>

namespace brackwell::state_tracker {

NativeRustTracker::NativeRustTracker(std::uint64_t id) {
  char digits[24];
  char* end = std::to_chars(digits, digits + sizeof digits, id).ptr;
  table_.assign("id", std::string(digits, end), NoObject{});
  table_.assign("name", "Alice", NoObject{});
  table_.assign("age", "25", NoObject{});
  table_.assign("active", "true", NoObject{});
}

bool NativeRustTracker::set_current_text(std::string_view name, std::string_view text) {
  FieldEntry<NoObject>* entry = table_.find(name);
  if (!entry) return false;
  entry->current_text.assign(text);
  return true;
}

}  // namespace brackwell::state_tracker
