// Room on the stack for what one call reads from its arguments (views, references,
// columns); larger inputs spill to the heap.
#pragma once

#include <cstddef>
#include <memory_resource>

namespace brackwell::binding {

class CallMemory {
 public:
  std::pmr::memory_resource* get() noexcept { return &pool_; }

 private:
  alignas(std::max_align_t) std::byte buffer_[2048];
  std::pmr::monotonic_buffer_resource pool_{buffer_, sizeof buffer_};
};

}  // namespace brackwell::binding
