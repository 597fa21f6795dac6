#include "compiler/dialect.h"

#include <charconv>

namespace brackwell::compiler {
namespace {

constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
}

// `text` equals `lower`, an all-lowercase ASCII word, when ASCII case is ignored.
bool equals_folded(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower[i]) return false;
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

void append_placeholder(std::string& out, PlaceholderStyle style, std::uint64_t index) {
  switch (style) {
    case PlaceholderStyle::kNumbered: {
      char digits[1 + 20];
      digits[0] = '$';
      const char* end = std::to_chars(digits + 1, digits + sizeof digits, index).ptr;
      out.append(digits, std::size_t(end - digits));
      return;
    }
    case PlaceholderStyle::kPercent:
      out.append("%s", 2);
      return;
    case PlaceholderStyle::kQuestion:
      break;
  }
  out.push_back('?');
}

std::string placeholder(PlaceholderStyle style, std::uint64_t index) {
  std::string text;
  append_placeholder(text, style, index);
  return text;
}

}  // namespace brackwell::compiler
