// Words read from any byte position of a text, for hashing and comparing short texts with
// a few fixed-size loads instead of a byte loop or a call.
#pragma once

#include <cstdint>
#include <cstring>

namespace brackwell::common {

inline std::uint64_t load64(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

inline std::uint32_t load32(const char* p) noexcept {
  std::uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

}  // namespace brackwell::common
