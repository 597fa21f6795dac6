// Dialect recognition and parameter placeholders for the statement builders. Plain C++:
// texts in as string_view, placeholders appended to caller-owned strings. Nothing here
// throws except std::bad_alloc from a growing string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brackwell::compiler {

// How a dialect writes the placeholder of the value with a given 1-based index.
enum class PlaceholderStyle {
  kQuestion,  // "?", the index is not written
  kNumbered,  // "$" and the index in decimal
  kPercent,   // "%s", the index is not written
};

// What a dialect text means to the statement builders.
struct Dialect {
  PlaceholderStyle style = PlaceholderStyle::kQuestion;
  // The text contains "postgres" in any letter case: INSERT then ends in " RETURNING *".
  bool postgres_family = false;
};

// Recognises a dialect text, ignoring the case of ASCII letters: exactly "postgres" or
// "postgresql" number the placeholders, exactly "mysql" writes "%s", anything else
// (including "", "sqlite", "postgres_replica" and a name with blanks around it) "?".
// No other letter can lower-case into one of those names, so ASCII folding is exact.
Dialect parse_dialect(std::string_view text) noexcept;

// Length in bytes of the placeholder for `index` ("?" and "%s" ignore the index).
std::size_t placeholder_size(PlaceholderStyle style, std::uint64_t index) noexcept;

// Appends the placeholder for `index`: "$0" for index 0, "$18446744073709551615" at
// the top of the range; no sign, no leading zeros, no grouping.
void append_placeholder(std::string& out, PlaceholderStyle style, std::uint64_t index);

// Writes the same placeholder at `out`, which has room for placeholder_size() bytes;
// returns the end of what was written.
char* write_placeholder(char* out, PlaceholderStyle style, std::uint64_t index) noexcept;

// The placeholder for `index` as its own text.
std::string placeholder(PlaceholderStyle style, std::uint64_t index);

}  // namespace brackwell::compiler
