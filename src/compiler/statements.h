// The text of SELECT, INSERT, UPDATE and DELETE statements. Plain C++: the caller owns
// every input text and receives each statement as a new std::string, or for DELETE
// written into a buffer of its own. Texts are copied
// verbatim (never quoted, trimmed or checked) and may hold NUL bytes. Nothing here
// throws except std::bad_alloc / std::length_error from a growing string.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "compiler/dialect.h"

namespace brackwell::compiler {

// (join kind, joined table, ON condition) or (column, operator, value).
using TextTriple = std::array<std::string_view, 3>;
// (column, direction).
using TextPair = std::array<std::string_view, 2>;

// Everything a SELECT is made of. The value of each WHERE condition is not written into
// the text: the i-th condition gets the placeholder with index i (from 1).
struct SelectQuery {
  std::string_view table;
  std::span<const std::string_view> columns;  // empty: "*"
  std::span<const TextTriple> wheres;         // joined with " AND ", no parentheses
  std::span<const TextTriple> joins;
  std::span<const TextPair> order_by;
  std::optional<std::uint64_t> limit;
  std::optional<std::uint64_t> offset;  // written with or without a limit
  Dialect dialect;
};

// True when every byte is ASCII: such a text is upper-cased here. A join kind or an
// order direction with other characters must be upper-cased by the caller first (the
// full mapping, where "ß" becomes "SS"); this module then only maps its ASCII letters.
bool is_ascii(std::string_view text) noexcept;

// "SELECT cols FROM t[ KIND JOIN t2 ON cond...][ WHERE c op ? AND ...][ ORDER BY c DIR,
// ...][ LIMIT n][ OFFSET m]", written in one pass into a buffer opened with 256 bytes.
// Join kinds and directions are upper-cased; an empty kind gives "  JOIN", an empty
// direction a trailing blank after its column.
std::string select_statement(const SelectQuery& query);

// "INSERT INTO t (a, b) VALUES (p1, p2)", plus " RETURNING *" for the postgres family.
// No columns give "INSERT INTO t () VALUES ()".
std::string insert_statement(std::string_view table, std::span<const std::string_view> columns,
                             Dialect dialect);

// "UPDATE t SET a = p1, b = p2 WHERE k = p3": the key takes the index after the last
// column. No columns give "UPDATE t SET  WHERE k = p1".
std::string update_statement(std::string_view table, std::span<const std::string_view> columns,
                             std::string_view pk_col, Dialect dialect);

// The length in bytes of the DELETE statement below.
std::size_t delete_statement_size(std::string_view table, std::string_view pk_col,
                                  Dialect dialect) noexcept;

// Writes "DELETE FROM t WHERE k = p1" into `out`, which must be exactly
// delete_statement_size() bytes long: the caller chooses where the text goes, so that a
// short statement needs no allocation of its own.
void write_delete_statement(std::span<char> out, std::string_view table, std::string_view pk_col,
                            Dialect dialect) noexcept;

}  // namespace brackwell::compiler
