#include "migration_diff/ddl.h"

#include <cstddef>
#include <unordered_map>
#include <unordered_set>

#include "common/seeded_hash.h"

namespace brackwell::migration_diff {
namespace {

constexpr std::string_view kCreateHead = "CREATE TABLE IF NOT EXISTS ";
constexpr std::string_view kOpen = " (";
constexpr std::string_view kCloseEnd = ");";
constexpr std::string_view kSeparator = ", ";
constexpr std::string_view kDropTableHead = "DROP TABLE IF EXISTS ";
constexpr std::string_view kAlterHead = "ALTER TABLE ";
constexpr std::string_view kAddInfix = " ADD COLUMN ";
constexpr std::string_view kDropInfix = " DROP COLUMN ";
constexpr std::string_view kNotNull = " NOT NULL";
constexpr std::string_view kEnd = ";";

struct NameHash {
  std::size_t operator()(std::string_view name) const noexcept {
    return std::size_t(common::hash_bytes(name));
  }
};

using NameSet = std::unordered_set<std::string_view, NameHash>;

// Up to this many database columns a linear scan beats hashing every name.
constexpr std::size_t kLinearScanMax = 8;

// The database's column names, asked one model column at a time.
class DbNames {
 public:
  explicit DbNames(std::span<const std::string> names) : names_(names) {
    if (names.size() <= kLinearScanMax) return;
    set_.reserve(names.size());
    for (const std::string& name : names) set_.insert(name);
  }
  bool contains(std::string_view name) const {
    if (names_.size() > kLinearScanMax) return set_.contains(name);
    for (const std::string& known : names_) {
      if (known == name) return true;
    }
    return false;
  }

 private:
  std::span<const std::string> names_;
  NameSet set_;
};

std::string create_table(std::string_view table, std::span<const ModelColumn> model,
                         std::string_view key) {
  std::size_t size = kCreateHead.size() + table.size() + kOpen.size() + kCloseEnd.size();
  for (const ModelColumn& column : model) {
    size += column.name.size() + kSeparator.size();
    size += column.primary_key
                ? key.size()
                : 1 + column.data_type.size() + (column.nullable ? 0 : kNotNull.size());
  }
  std::string out;
  out.reserve(size);
  out.append(kCreateHead);
  out.append(table);
  out.append(kOpen);
  bool first = true;
  for (const ModelColumn& column : model) {
    if (!first) out.append(kSeparator);
    first = false;
    out.append(column.name);
    if (column.primary_key) {
      out.append(key);  // the key form stands for the type and the nullability
      continue;
    }
    out.push_back(' ');
    out.append(column.data_type);
    if (!column.nullable) out.append(kNotNull);
  }
  out.append(kCloseEnd);
  return out;
}

std::string add_column(std::string_view table, const ModelColumn& column) {
  // A key column added to a live table gets no key clause; its flag only withholds
  // NOT NULL, which existing rows could not satisfy anyway.
  const bool not_null = !column.nullable && !column.primary_key;
  std::string out;
  out.reserve(kAlterHead.size() + table.size() + kAddInfix.size() + column.name.size() + 1 +
              column.data_type.size() + (not_null ? kNotNull.size() : 0) + kEnd.size());
  out.append(kAlterHead);
  out.append(table);
  out.append(kAddInfix);
  out.append(column.name);
  out.push_back(' ');
  out.append(column.data_type);
  if (not_null) out.append(kNotNull);
  out.append(kEnd);
  return out;
}

std::string drop_column(std::string_view table, std::string_view name) {
  std::string out;
  out.reserve(kAlterHead.size() + table.size() + kDropInfix.size() + name.size() + kEnd.size());
  out.append(kAlterHead);
  out.append(table);
  out.append(kDropInfix);
  out.append(name);
  out.append(kEnd);
  return out;
}

}  // namespace

std::string_view key_suffix(std::string_view dialect) noexcept {
  if (dialect == "mysql") return " INT AUTO_INCREMENT PRIMARY KEY";
  if (dialect == "postgres" || dialect == "postgresql") return " SERIAL PRIMARY KEY";
  return " INTEGER PRIMARY KEY AUTOINCREMENT";
}

void keep_last_description(std::vector<ModelColumn>& columns) {
  std::unordered_map<std::string_view, std::size_t, NameHash> first_at;
  first_at.reserve(columns.size());
  std::vector<bool> repeated(columns.size(), false);
  bool any = false;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const auto [slot, inserted] = first_at.try_emplace(columns[i].name, i);
    if (inserted) continue;
    // Only the description moves: the names are equal, and the map's key views the
    // earlier column's name.
    ModelColumn& kept = columns[slot->second];
    kept.data_type = std::move(columns[i].data_type);
    kept.nullable = columns[i].nullable;
    kept.primary_key = columns[i].primary_key;
    repeated[i] = any = true;
  }
  if (!any) return;
  std::size_t out = 0;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (repeated[i]) continue;
    if (out != i) columns[out] = std::move(columns[i]);
    ++out;
  }
  columns.resize(out);
}

Migration diff_columns(std::string_view table, std::span<const ModelColumn> model,
                       std::span<const std::string> db_names, std::string_view dialect) {
  Migration migration;
  if (db_names.empty()) {
    migration.upgrade.push_back(create_table(table, model, key_suffix(dialect)));
    std::string drop;
    drop.reserve(kDropTableHead.size() + table.size() + kEnd.size());
    drop.append(kDropTableHead);
    drop.append(table);
    drop.append(kEnd);
    migration.downgrade.push_back(std::move(drop));
    return migration;
  }
  if (model.empty()) return migration;
  const DbNames present(db_names);
  for (const ModelColumn& column : model) {
    if (present.contains(column.name)) continue;
    migration.upgrade.push_back(add_column(table, column));
    migration.downgrade.push_back(drop_column(table, column.name));
  }
  return migration;
}

}  // namespace brackwell::migration_diff
