// Upgrade and downgrade DDL for one table from the model's column descriptions and the
// names of the columns the database already has. Pure C++: texts in, texts out, in the
// model's column order. The inputs are views the caller keeps alive for the call; the
// result owns its texts. Only std::bad_alloc / std::length_error leave these functions.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brackwell::migration_diff {

// One column as the model declares it (views into the caller's texts).
struct ModelColumn {
  std::string_view name;
  std::string_view data_type = "TEXT";
  bool nullable = true;
  bool primary_key = false;
};

// Statement texts kept back to back in one buffer, so that a hundred ALTER statements
// cost two allocations instead of a hundred.
class StatementList {
 public:
  std::size_t size() const noexcept { return ends_.size(); }
  bool empty() const noexcept { return ends_.empty(); }
  // Statement i; valid until the list changes.
  std::string_view operator[](std::size_t i) const noexcept {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_).substr(begin, ends_[i] - begin);
  }
  void reserve(std::size_t statements, std::size_t bytes) {
    ends_.reserve(statements);
    text_.reserve(bytes);
  }
  // Appends the pieces as one statement.
  void add(std::initializer_list<std::string_view> pieces) {
    for (std::string_view piece : pieces) text_.append(piece);
    ends_.push_back(text_.size());
  }
  // The buffer the next statement is being written into; close it with end_statement().
  std::string& open() noexcept { return text_; }
  void end_statement() { ends_.push_back(text_.size()); }

 private:
  std::string text_;
  std::vector<std::size_t> ends_;
};

// The statements that bring the database up to the model, and the ones that undo them.
struct Migration {
  StatementList upgrade;
  StatementList downgrade;
};

// The rendering of a key column inside CREATE TABLE: "mysql" and "postgres" /
// "postgresql" matched exactly (with case); every other text, empty included, is SQLite.
std::string_view key_suffix(std::string_view dialect) noexcept;

// Drops every earlier column whose name a later one repeats, keeping the later column's
// description at the earlier one's position. Only needed when the names came from keys
// that can be equal as texts without being equal as keys.
void keep_last_description(std::pmr::vector<ModelColumn>& columns);

// Compares `model` (in its order) with the database's column names.
// - `db_names` empty: the table is new. One CREATE TABLE IF NOT EXISTS statement with
//   every model column (an empty model gives "CREATE TABLE IF NOT EXISTS t ();") and one
//   DROP TABLE IF EXISTS statement.
// - otherwise: for every model column the database lacks (names compared byte for
//   byte), an ALTER TABLE ... ADD COLUMN and, at the same index, the matching
//   ALTER TABLE ... DROP COLUMN. Nothing when the database has them all.
// `dialect` matters only for key columns of a new table.
Migration diff_columns(std::string_view table, std::span<const ModelColumn> model,
                       std::span<const std::string_view> db_names, std::string_view dialect);

}  // namespace brackwell::migration_diff
