#include "migration_diff/ddl.h"

#include <cassert>
#include <cstddef>

#include "common/position_index.h"
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

// Up to this many names a linear scan beats hashing every name.
constexpr std::size_t kLinearScanMax = 8;

// The database's column names, asked one model column at a time. Larger sets are
// indexed by their keyed hashes.
class DbNames {
 public:
  explicit DbNames(std::span<const std::string_view> names) : names_(names) {
    if (names.size() <= kLinearScanMax) return;
    index_.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
      index_.find_or_add(common::hash_bytes(names[i]), i, Named{names_, names[i]});
    }
  }
  bool contains(std::string_view name) const noexcept {
    if (index_.size() == 0) {
      for (std::string_view known : names_) {
        if (known == name) return true;
      }
      return false;
    }
    return index_.find(common::hash_bytes(name), Named{names_, name}) !=
           common::PositionIndex::kAbsent;
  }

 private:
  // Whether the name at a position is `name`.
  struct Named {
    std::span<const std::string_view> names;
    std::string_view name;
    bool operator()(std::size_t position) const noexcept { return names[position] == name; }
  };
  std::span<const std::string_view> names_;
  common::PositionIndex index_;
};

void create_table(StatementList& out, std::string_view table, std::span<const ModelColumn> model,
                  std::string_view key) {
  std::size_t size = kCreateHead.size() + table.size() + kOpen.size() + kCloseEnd.size();
  if (!model.empty()) size -= kSeparator.size();  // separators go between definitions
  for (const ModelColumn& column : model) {
    size += column.name.size() + kSeparator.size();
    size += column.primary_key
                ? key.size()
                : 1 + column.data_type.size() + (column.nullable ? 0 : kNotNull.size());
  }
  // Written through a cursor into a buffer sized once: two hundred columns make a
  // thousand short pieces, and a checked append per piece costs more than the copy.
  std::string& text = out.open();
  const std::size_t start = text.size();
  text.resize(start + size);
  char* cursor = text.data() + start;
  const auto put = [&cursor](std::string_view piece) {
    for (char c : piece) *cursor++ = c;
  };
  put(kCreateHead);
  put(table);
  put(kOpen);
  bool first = true;
  for (const ModelColumn& column : model) {
    if (!first) put(kSeparator);
    first = false;
    put(column.name);
    if (column.primary_key) {
      put(key);  // the key form stands for the type and the nullability
      continue;
    }
    *cursor++ = ' ';
    put(column.data_type);
    if (!column.nullable) put(kNotNull);
  }
  put(kCloseEnd);
  assert(cursor == text.data() + text.size());  // the sizing pass matched the writing pass
  out.end_statement();
}

}  // namespace

std::string_view key_suffix(std::string_view dialect) noexcept {
  if (dialect == "mysql") return " INT AUTO_INCREMENT PRIMARY KEY";
  if (dialect == "postgres" || dialect == "postgresql") return " SERIAL PRIMARY KEY";
  return " INTEGER PRIMARY KEY AUTOINCREMENT";
}

void keep_last_description(std::pmr::vector<ModelColumn>& columns) {
  common::PositionIndex first_at;
  first_at.reserve(columns.size());
  std::vector<bool> repeated(columns.size(), false);
  bool any = false;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const std::string_view name = columns[i].name;
    const std::size_t first = first_at.find_or_add(
        common::hash_bytes(name), i, [&](std::size_t at) { return columns[at].name == name; });
    if (first == i) continue;
    columns[first] = columns[i];  // the later description, at the earlier place
    repeated[i] = any = true;
  }
  if (!any) return;
  std::size_t out = 0;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (repeated[i]) continue;
    columns[out] = columns[i];
    ++out;
  }
  columns.resize(out);
}

Migration diff_columns(std::string_view table, std::span<const ModelColumn> model,
                       std::span<const std::string_view> db_names, std::string_view dialect) {
  Migration migration;
  if (db_names.empty()) {
    create_table(migration.upgrade, table, model, key_suffix(dialect));
    migration.downgrade.reserve(1, kDropTableHead.size() + table.size() + kEnd.size());
    migration.downgrade.add({kDropTableHead, table, kEnd});
    return migration;
  }
  if (model.empty()) return migration;
  const DbNames present(db_names);
  // First the columns to add, so that both buffers are sized once.
  std::vector<const ModelColumn*> missing;
  missing.reserve(model.size());
  std::size_t name_bytes = 0;
  std::size_t type_bytes = 0;
  for (const ModelColumn& column : model) {
    if (present.contains(column.name)) continue;
    missing.push_back(&column);
    name_bytes += column.name.size();
    type_bytes += column.data_type.size();
  }
  const std::size_t fixed = kAlterHead.size() + table.size() + kEnd.size();
  migration.upgrade.reserve(
      missing.size(),
      name_bytes + type_bytes + missing.size() * (fixed + kAddInfix.size() + 1 + kNotNull.size()));
  migration.downgrade.reserve(missing.size(),
                              name_bytes + missing.size() * (fixed + kDropInfix.size()));
  for (const ModelColumn* column : missing) {
    // A key column added to a live table gets no key clause; its flag only withholds
    // NOT NULL, as the key form would in a new table.
    const bool not_null = !column->nullable && !column->primary_key;
    migration.upgrade.add({kAlterHead, table, kAddInfix, column->name, " ", column->data_type,
                           not_null ? kNotNull : std::string_view(), kEnd});
    migration.downgrade.add({kAlterHead, table, kDropInfix, column->name, kEnd});
  }
  return migration;
}

}  // namespace brackwell::migration_diff
