#include "common/seeded_hash.h"

#include <chrono>
#include <random>

#include "common/word_load.h"

#if !defined(__SIZEOF_INT128__) && defined(_MSC_VER) && defined(_M_X64)
#include <intrin.h>
#endif

namespace brackwell::common {
namespace {

struct ProcessKey {
  std::uint64_t k0, k1;
};

std::uint64_t splitmix(std::uint64_t& state) noexcept {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

ProcessKey draw_key() noexcept {
  std::uint64_t seed[2] = {0, 0};
  try {
    std::random_device source;  // the operating system's source of random bytes
    for (std::uint64_t& word : seed) word = (std::uint64_t(source()) << 32) | source();
  } catch (...) {
    // No source available: the clock and the address below still differ per process.
  }
  seed[0] ^= std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
  seed[1] ^= reinterpret_cast<std::uintptr_t>(&seed);
  // Odd multipliers keep every input bit in play.
  return {splitmix(seed[0]) | 1, splitmix(seed[1]) | 1};
}

// Drawn while the shared object is loaded, before any thread can hash: a key made on first
// use would make a second thread wait for it outside the interpreter's knowledge.
const ProcessKey process_key_value = draw_key();

const ProcessKey& process_key() noexcept {
  return process_key_value;
}

// 64x64 -> 128-bit multiply folded to 64 bits: every input bit reaches every output bit.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
  __extension__ using Wide = unsigned __int128;  // a GCC and Clang extension
  const Wide product = static_cast<Wide>(a) * b;
  return std::uint64_t(product) ^ std::uint64_t(product >> 64);
#elif defined(_MSC_VER) && defined(_M_X64)
  std::uint64_t high;
  const std::uint64_t low = _umul128(a, b, &high);
  return low ^ high;
#else
  // The same product from four 32x32 -> 64-bit partial products.
  const std::uint64_t a0 = a & 0xffffffffu, a1 = a >> 32, b0 = b & 0xffffffffu, b1 = b >> 32;
  const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const std::uint64_t middle = (p00 >> 32) + (p01 & 0xffffffffu) + (p10 & 0xffffffffu);
  const std::uint64_t low = (middle << 32) | (p00 & 0xffffffffu);
  const std::uint64_t high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
  return low ^ high;
#endif
}

// The last 1..7 bytes of a text, packed into one word with fixed-size loads that may
// overlap (a variable-length copy compiles to a byte loop).
inline std::uint64_t load_tail(const char* p, std::size_t n) noexcept {
  if (n >= 4) return (std::uint64_t(load32(p + n - 4)) << 32) | load32(p);
  const auto byte = [p](std::size_t i) { return std::uint64_t(static_cast<unsigned char>(p[i])); };
  return byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16);
}

}  // namespace

std::uint64_t hash_u64(std::uint64_t value) noexcept {
  const ProcessKey& key = process_key();
  // Both factors depend on the whole value: with one constant factor, keys that differ
  // only in their high half (i << 32) spread poorly over the low bits under some keys.
  const std::uint64_t swapped = (value << 32) | (value >> 32);
  return fold_multiply(value ^ key.k0, swapped ^ key.k1);
}

std::uint64_t hash_bytes(std::string_view bytes) noexcept {
  const ProcessKey& key = process_key();
  const char* p = bytes.data();
  const std::size_t n = bytes.size();
  const char* const end = p + n;
  std::uint64_t h = key.k0 ^ (std::uint64_t(n) * 0x9e3779b97f4a7c15ull);
  if (n <= 16) {
    // Most names and keys: at most two words (overlapping below 16 bytes), one product.
    std::uint64_t low = 0, high = 0;
    if (n >= 8) {
      low = load64(p);
      high = load64(end - 8);
    } else if (n > 0) {
      low = load_tail(p, n);
    }
    return fold_multiply(fold_multiply(h ^ low, high ^ key.k1), key.k0 ^ key.k1);
  }
  // Sixteen bytes a product, then the last sixteen (overlapping the block before).
  for (; end - p > 16; p += 16) h = fold_multiply(load64(p) ^ key.k0, load64(p + 8) ^ h);
  h = fold_multiply(load64(end - 16) ^ h, load64(end - 8) ^ key.k1);
  return fold_multiply(h, key.k0 ^ key.k1);
}

}  // namespace brackwell::common
