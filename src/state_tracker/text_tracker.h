// NativeRustTracker: the field table holding texts only, never an object, for work that
// runs without the interpreter (the native benchmark). It owns its names and texts; its
// fields' storage comes from a memory resource that the caller keeps alive longer than
// the tracker. Building and changing it fail only by std::bad_alloc.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <string_view>

#include "state_tracker/field_table.h"

namespace brackwell::state_tracker {

class NativeRustTracker {
 public:
  // A tracker of four clean sample fields: "id" (the decimal text of `id`), "name"
  // "Alice", "age" "25" and "active" "true", in that order.
  NativeRustTracker(std::uint64_t id, std::pmr::memory_resource* memory);

  // Sets the current text of `name`; false (and no change) when there is no such field.
  bool set_current_text(std::string_view name, std::string_view text);
  // True when some field is dirty; stops at the first one.
  bool any_dirty() const noexcept { return table_.any_dirty(); }
  // Makes every field clean.
  void commit() { table_.commit(); }

 private:
  FieldTable<NoObject, std::pmr::polymorphic_allocator<char>> table_;
};

}  // namespace brackwell::state_tracker
