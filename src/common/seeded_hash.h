// Fast keyed hashing for the module's hash tables. The key is drawn once per process
// from the operating system's random source, so no set of names or keys prepared in
// advance can make a table degrade into long probe chains. Nothing observable depends
// on hash values: every table that reaches Python keeps insertion order.
#pragma once

#include <cstdint>
#include <string_view>

namespace brackwell::common {

// Hash of a 64-bit integer under the process key.
std::uint64_t hash_u64(std::uint64_t value) noexcept;

// Hash of a byte string under the process key.
std::uint64_t hash_bytes(std::string_view bytes) noexcept;

}  // namespace brackwell::common
