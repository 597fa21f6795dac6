// Reserving ahead as a help only: a size the allocator refuses is no error.
#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>

namespace brackwell::common {

// Reserves room for `count` items in `items` (a vector or anything with reserve())
// when it can be had; otherwise leaves it as it was.
template <class Container>
void try_reserve(Container& items, std::size_t count) noexcept {
  try {
    items.reserve(count);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

}  // namespace brackwell::common
