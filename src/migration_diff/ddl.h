// Upgrade and downgrade DDL for one table from the model's column descriptions and the
// names of the columns the database already has. Pure C++: texts in, texts out, in the
// model's column order. The caller owns every input; the result owns its texts. Only
// std::bad_alloc / std::length_error can leave these functions.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brackwell::migration_diff {

// One column as the model declares it.
struct ModelColumn {
  std::string name;
  std::string data_type = "TEXT";
  bool nullable = true;
  bool primary_key = false;
};

// The statements that bring the database up to the model, and the ones that undo them.
struct Migration {
  std::vector<std::string> upgrade;
  std::vector<std::string> downgrade;
};

// The rendering of a key column inside CREATE TABLE: "mysql" and "postgres" /
// "postgresql" matched exactly (with case); every other text, empty included, is SQLite.
std::string_view key_suffix(std::string_view dialect) noexcept;

// Drops every earlier column whose name a later one repeats, keeping the later column's
// description at the earlier one's position. Only needed when the names came from keys
// that can be equal as texts without being equal as keys.
void keep_last_description(std::vector<ModelColumn>& columns);

// Compares `model` (in its order) with the database's column names.
// - `db_names` empty: the table is new. One CREATE TABLE IF NOT EXISTS statement with
//   every model column (an empty model gives "CREATE TABLE IF NOT EXISTS t ();") and one
//   DROP TABLE IF EXISTS statement.
// - otherwise: for every model column the database lacks (names compared byte for
//   byte), an ALTER TABLE ... ADD COLUMN and, at the same index, the matching
//   ALTER TABLE ... DROP COLUMN. Nothing when the database has them all.
// `dialect` matters only for key columns of a new table.
Migration diff_columns(std::string_view table, std::span<const ModelColumn> model,
                       std::span<const std::string> db_names, std::string_view dialect);

}  // namespace brackwell::migration_diff
