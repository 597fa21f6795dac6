#include "compiler/dialect.h"

#include <charconv>
#include <cstring>

namespace brackwell::compiler {
namespace {

// `text` equals `lower`, a word of lowercase ASCII letters, when ASCII case is ignored.
// Setting bit 5 turns A to Z into a to z, and turns no other byte into a lowercase
// letter, so a byte matches a letter of `lower` exactly when it is that letter in either
// case; eight bytes are compared at a time.
bool equals_folded(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  constexpr std::uint64_t kFold = 0x2020202020202020;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word, expected;
    std::memcpy(&word, text.data() + i, 8);
    std::memcpy(&expected, lower.data() + i, 8);
    if ((word | kFold) != expected) return false;
  }
  for (; i < text.size(); ++i) {
    if ((text[i] | 0x20) != lower[i]) return false;
  }
  return true;
}

bool contains_folded(std::string_view text, std::string_view lower) noexcept {
  if (text.size() < lower.size()) return false;
  for (std::size_t start = 0; start + lower.size() <= text.size(); ++start) {
    if (equals_folded(text.substr(start, lower.size()), lower)) return true;
  }
  return false;
}

std::size_t decimal_digits(std::uint64_t value) noexcept {
  std::size_t digits = 1;
  while (value >= 10) {
    value /= 10;
    ++digits;
  }
  return digits;
}

}  // namespace

Dialect parse_dialect(std::string_view text) noexcept {
  Dialect dialect;
  if (equals_folded(text, "mysql")) {
    dialect.style = PlaceholderStyle::kPercent;
  } else if (equals_folded(text, "postgres") || equals_folded(text, "postgresql")) {
    dialect.style = PlaceholderStyle::kNumbered;
  }
  dialect.postgres_family =
      dialect.style == PlaceholderStyle::kNumbered || contains_folded(text, "postgres");
  return dialect;
}

std::size_t placeholder_size(PlaceholderStyle style, std::uint64_t index) noexcept {
  switch (style) {
    case PlaceholderStyle::kNumbered:
      return 1 + decimal_digits(index);
    case PlaceholderStyle::kPercent:
      return 2;
    case PlaceholderStyle::kQuestion:
      break;
  }
  return 1;
}

char* write_placeholder(char* out, PlaceholderStyle style, std::uint64_t index) noexcept {
  switch (style) {
    case PlaceholderStyle::kNumbered: {
      // 20 digits hold any 64-bit value: the conversion cannot run out of room.
      char digits[20];
      const std::size_t count = std::size_t(std::to_chars(digits, digits + 20, index).ptr - digits);
      *out = '$';
      std::memcpy(out + 1, digits, count);
      return out + 1 + count;
    }
    case PlaceholderStyle::kPercent:
      out[0] = '%';
      out[1] = 's';
      return out + 2;
    case PlaceholderStyle::kQuestion:
      break;
  }
  *out = '?';
  return out + 1;
}

void append_placeholder(std::string& out, PlaceholderStyle style, std::uint64_t index) {
  char text[1 + 20];
  out.append(text, std::size_t(write_placeholder(text, style, index) - text));
}

std::string placeholder(PlaceholderStyle style, std::uint64_t index) {
  std::string text;
  append_placeholder(text, style, index);
  return text;
}

}  // namespace brackwell::compiler
