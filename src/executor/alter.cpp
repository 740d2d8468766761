// ALTER TABLE: ADD COLUMN, DROP COLUMN, MODIFY and SET MERGE POLICY on the
// in-memory side. Every check is made before anything changes, but one: the
// index keys of a column that became HASH are measured over the hashed rows,
// and a refusal puts the clear texts back. After a column change both index
// families match the rows again: an index that included a dropped column
// goes, the others follow their columns by name, and indexes over a column
// that became HASH hold the hashed values.

#include <string>
#include <unordered_map>
#include <utility>

#include "executor/handlers.h"
#include "hash_column/hash_column.h"
#include "types/coerce.h"
#include "types/merge_policy.h"
#include "types/text_format.h"
#include "types/uuid.h"

namespace zembrel::executor {

namespace {

bool is_pk(DataType t) { return t.kind == DataTypeKind::Pk; }

Status check_today_and_hash(const Column& c) {
    if (c.default_value && c.default_value->is_today() && !is_date_type(c.data_type))
        return execution_error(format("column '{}': Default(Today) is only valid for Date and DateTime", c.name));
    if (c.salt && !is_text_type(c.data_type))
        return execution_error(format("column '{}': HASH is only valid for TEXT and STRING columns", c.name));
    return {};
}

Result<ExecResult> add_column(Table& table, parser::ColumnDef def) {
    if (table.column_index(def.name)) return column_exists_error(def.name, table.name);
    if (is_pk(def.data_type)) return execution_error("cannot add PK column with ALTER TABLE");
    auto built = Column::from_def(std::move(def.name), def.data_type, std::move(def.default_value), def.nullable,
                                  def.hash);
    if (!built) return fail(built.error());
    Column& column = *built;
    if (auto st = check_today_and_hash(column); !st) return fail(st.error());
    if (!column.default_value && !column.nullable && !table.rows.empty())
        return execution_error(
            format("cannot add NOT NULL column '{}' without a default to a table with existing rows", column.name));
    // The same road as an omitted INSERT column: a Text default of a HASH
    // column is stored hashed.
    auto fill = types::coerce_value(Value::null(), column);
    if (!fill) return fail(fill.error());
    table.columns.push_back(std::move(column));
    table.rows.add_column(*fill);
    // Positions of existing columns do not move; the new column is in no index.
    return TableAltered{table.name};
}

Result<ExecResult> drop_column(Engine& engine, Table& table, const std::string& name) {
    auto at = table.column_index(name);
    if (!at) return execution_error(format("column '{}' not found in table '{}'", name, table.name));
    if (is_pk(table.columns[*at].data_type)) return execution_error("cannot drop PK column");
    if (table.columns.size() == 1) return execution_error("cannot drop the last column of a table");
    table.columns.erase(table.columns.begin() + static_cast<std::ptrdiff_t>(*at));
    table.rows.erase_column(*at);
    engine.tables.refit_indexes(table.name);
    return TableAltered{table.name};
}

bool type_change_allowed(DataType from, DataType to) {
    if (from == to) return true;
    return is_text_type(from) && is_text_type(to);
}

Result<ExecResult> modify_column(Engine& engine, Table& table, parser::ColumnDef def) {
    auto at = table.column_index(def.name);
    if (!at) return execution_error(format("column '{}' not found in table '{}'", def.name, table.name));
    const Column& old = table.columns[*at];
    if (is_pk(old.data_type) || is_pk(def.data_type)) return execution_error("cannot modify PK column");
    if (!type_change_allowed(old.data_type, def.data_type))
        return execution_error(
            format("cannot change column type from {} to {}", old.data_type.display(), def.data_type.display()));

    Column column;
    column.name = def.name;
    column.data_type = def.data_type;
    column.nullable = def.nullable;
    bool gains_salt = false;
    if (old.salt) {
        if (!def.hash) return execution_error(format("column '{}': cannot remove HASH (irreversible)", def.name));
        column.salt = old.salt;
    } else if (def.hash) {
        column.salt = types::new_uuid();
        gains_salt = true;
    }
    if (def.default_value && !def.default_value->is_today()) {
        auto valid = Column::validate_default(def.default_value->literal, column.data_type, column.name);
        if (!valid) return fail(valid.error());
        column.default_value = DefaultValue::of(std::move(*valid));
    } else {
        column.default_value = std::move(def.default_value);
    }
    if (auto st = check_today_and_hash(column); !st) return fail(st.error());

    const size_t p = *at;
    for (const RowView row : table.rows) {
        if (p >= row.size()) continue;
        const Value& v = row[p];
        if (!column.nullable && v.is_null())
            return execution_error(
                format("column '{}': existing data contains NULL values, cannot set NOT NULL", column.name));
        if (column.data_type.kind == DataTypeKind::Str && !old.salt && v.kind() == ValueKind::Text &&
            v.as_text().size() > column.data_type.size)
            return execution_error(format("column '{}': existing value length {} exceeds STRING({})", column.name,
                                          v.as_text().size(), column.data_type.size));
    }

    if (gains_salt) {
        // Every hash is computed before any value changes; equal texts hash once.
        std::unordered_map<std::string, std::string> hashes;
        for (const RowView row : table.rows) {
            if (p >= row.size() || row[p].kind() != ValueKind::Text) continue;
            const std::string_view text = row[p].as_text();
            if (hashes.contains(std::string(text))) continue;
            auto hashed = hash_column::hash_value(text, *column.salt);
            if (!hashed) return execution_error(format("column '{}': hashing failed: {}", column.name, hashed.error()));
            hashes.emplace(text, std::move(*hashed));
        }
        // A hash may be longer than its text: the clear texts are kept until
        // every index key is known to fit the page store.
        auto hashed = [&](std::span<const Value> row) { return p < row.size() && row[p].kind() == ValueKind::Text; };
        std::vector<Value> clear;
        for (size_t i = 0; i < table.rows.size(); ++i) {
            std::span<Value> row = table.rows.cells(i);
            if (hashed(row)) clear.push_back(std::exchange(row[p], Value::text(hashes.find(std::string(row[p].as_text()))->second)));
        }
        if (auto st = engine.tables.check_index_key_lengths(table.name, table.rows); !st) {
            auto next = clear.begin();
            for (size_t i = 0; i < table.rows.size(); ++i) {
                std::span<Value> row = table.rows.cells(i);
                if (hashed(row)) row[p] = std::move(*next++);
            }
            return fail(st.error());
        }
    }
    table.columns[p] = std::move(column);
    if (gains_salt) engine.tables.refit_indexes(table.name);
    return TableAltered{table.name};
}

Result<ExecResult> set_merge_policy(Engine& engine, const Table& table, const std::optional<std::string>& word) {
    if (!word) {
        engine.tables.merge_policies.erase(table.name);
        return MergePolicySet{table.name, std::nullopt};
    }
    auto policy = MergePolicy::parse(*word);
    if (!policy)
        return execution_error(format(
            "unknown merge policy '{}' (expected lww, error, field_merge, manual or DEFAULT)", *word));
    std::string canonical(policy->word());
    engine.tables.merge_policies[table.name] = canonical;
    return MergePolicySet{table.name, std::move(canonical)};
}

}  // namespace

std::unexpected<EngineError> column_exists_error(const std::string& column, const std::string& table) {
    return execution_error(format("column '{}' already exists in table '{}'", column, table));
}

Result<ExecResult> alter_table(Engine& engine, parser::AlterTable statement) {
    Table* table = engine.tables.find_owned(statement.table);
    if (table == nullptr) return execution_error(format("table '{}' not found", statement.table));
    return std::visit(
        [&](auto&& action) -> Result<ExecResult> {
            using T = std::decay_t<decltype(action)>;
            if constexpr (std::is_same_v<T, parser::AddColumn>) {
                return add_column(*table, std::move(action.column));
            } else if constexpr (std::is_same_v<T, parser::DropColumn>) {
                return drop_column(engine, *table, action.column);
            } else if constexpr (std::is_same_v<T, parser::ModifyColumn>) {
                return modify_column(engine, *table, std::move(action.column));
            } else {
                return set_merge_policy(engine, *table, action.policy);
            }
        },
        std::move(statement.action.node));
}

}  // namespace zembrel::executor
