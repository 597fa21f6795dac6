#include "compiler/statements.h"

#include <algorithm>
#include <charconv>

namespace brackwell::compiler {
namespace {

constexpr std::size_t kSelectBuffer = 256;
constexpr std::size_t kWriteBuffer = 128;
constexpr std::string_view kSeparator = ", ";
constexpr std::string_view kDelete = "DELETE FROM ", kWhere = " WHERE ", kEquals = " = ";

void append_upper(std::string& out, std::string_view text) {
  const std::size_t start = out.size();
  out.append(text);
  for (std::size_t i = start; i < out.size(); ++i) {
    if (out[i] >= 'a' && out[i] <= 'z') out[i] = char(out[i] - 32);
  }
}

// Appends the columns joined with ", ".
void append_columns(std::string& out, std::span<const std::string_view> columns) {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i) out.append(kSeparator);
    out.append(columns[i]);
  }
}

// The columns joined with ", " in one allocation of the exact size.
std::string join_columns(std::span<const std::string_view> columns) {
  std::size_t size = columns.empty() ? 0 : kSeparator.size() * (columns.size() - 1);
  for (const std::string_view column : columns) size += column.size();
  std::string joined;
  joined.reserve(size);
  append_columns(joined, columns);
  return joined;
}

// Placeholders 1..n joined with ", ", exactly sized.
std::string join_placeholders(PlaceholderStyle style, std::size_t n) {
  std::size_t size = n ? kSeparator.size() * (n - 1) : 0;
  for (std::size_t i = 1; i <= n; ++i) size += placeholder_size(style, i);
  std::string joined;
  joined.reserve(size);
  for (std::size_t i = 1; i <= n; ++i) {
    if (i > 1) joined.append(kSeparator);
    append_placeholder(joined, style, i);
  }
  return joined;
}

// "a = p1, b = p2", exactly sized.
std::string join_assignments(std::span<const std::string_view> columns, PlaceholderStyle style) {
  constexpr std::string_view kEquals = " = ";
  std::size_t size = columns.empty() ? 0 : kSeparator.size() * (columns.size() - 1);
  for (std::size_t i = 0; i < columns.size(); ++i) {
    size += columns[i].size() + kEquals.size() + placeholder_size(style, i + 1);
  }
  std::string joined;
  joined.reserve(size);
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i) joined.append(kSeparator);
    joined.append(columns[i]);
    joined.append(kEquals);
    append_placeholder(joined, style, i + 1);
  }
  return joined;
}

// Copies `text` to `out`; returns the end of the copy.
char* copy(char* out, std::string_view text) noexcept {
  return std::copy(text.begin(), text.end(), out);
}

void append_decimal(std::string& out, std::uint64_t value) {
  char digits[20];
  const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, std::size_t(end - digits));
}

}  // namespace

bool is_ascii(std::string_view text) noexcept {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

std::string select_statement(const SelectQuery& query) {
  std::string sql;
  sql.reserve(kSelectBuffer);
  sql.append("SELECT ");
  if (query.columns.empty()) {
    sql.push_back('*');
  } else {
    append_columns(sql, query.columns);
  }
  sql.append(" FROM ");
  sql.append(query.table);
  for (const TextTriple& join : query.joins) {
    sql.push_back(' ');
    append_upper(sql, join[0]);
    sql.append(" JOIN ");
    sql.append(join[1]);
    sql.append(" ON ");
    sql.append(join[2]);
  }
  for (std::size_t i = 0; i < query.wheres.size(); ++i) {
    sql.append(i ? " AND " : " WHERE ");
    sql.append(query.wheres[i][0]);
    sql.push_back(' ');
    sql.append(query.wheres[i][1]);
    sql.push_back(' ');
    append_placeholder(sql, query.dialect.style, i + 1);
  }
  for (std::size_t i = 0; i < query.order_by.size(); ++i) {
    sql.append(i ? ", " : " ORDER BY ");
    sql.append(query.order_by[i][0]);
    sql.push_back(' ');
    append_upper(sql, query.order_by[i][1]);
  }
  if (query.limit) {
    sql.append(" LIMIT ");
    append_decimal(sql, *query.limit);
  }
  if (query.offset) {
    sql.append(" OFFSET ");
    append_decimal(sql, *query.offset);
  }
  return sql;
}

std::string insert_statement(std::string_view table, std::span<const std::string_view> columns,
                             Dialect dialect) {
  const std::string placeholders = join_placeholders(dialect.style, columns.size());
  const std::string names = join_columns(columns);
  std::string sql;
  sql.reserve(kWriteBuffer);
  sql.append("INSERT INTO ");
  sql.append(table);
  sql.append(" (");
  sql.append(names);
  sql.append(") VALUES (");
  sql.append(placeholders);
  sql.push_back(')');
  if (dialect.postgres_family) sql.append(" RETURNING *");
  return sql;
}

std::string update_statement(std::string_view table, std::span<const std::string_view> columns,
                             std::string_view pk_col, Dialect dialect) {
  const std::string assignments = join_assignments(columns, dialect.style);
  std::string sql;
  sql.reserve(kWriteBuffer);
  sql.append("UPDATE ");
  sql.append(table);
  sql.append(" SET ");
  sql.append(assignments);
  sql.append(" WHERE ");
  sql.append(pk_col);
  sql.append(" = ");
  append_placeholder(sql, dialect.style, columns.size() + 1);
  return sql;
}

std::size_t delete_statement_size(std::string_view table, std::string_view pk_col,
                                  Dialect dialect) noexcept {
  return kDelete.size() + table.size() + kWhere.size() + pk_col.size() + kEquals.size() +
         placeholder_size(dialect.style, 1);
}

void write_delete_statement(std::span<char> out, std::string_view table, std::string_view pk_col,
                            Dialect dialect) noexcept {
  char* at = copy(out.data(), kDelete);
  at = copy(at, table);
  at = copy(at, kWhere);
  at = copy(at, pk_col);
  at = copy(at, kEquals);
  write_placeholder(at, dialect.style, 1);
}

}  // namespace brackwell::compiler
