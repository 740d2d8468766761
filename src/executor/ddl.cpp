// CREATE TABLE, DROP TABLE, TRUNCATE, CREATE [UNIQUE] INDEX, DROP INDEX on
// the in-memory side of the engine.

#include <set>
#include <string_view>
#include <utility>

#include "executor/handlers.h"
#include "pagestore/index_keys.h"
#include "types/text_format.h"

namespace zembrel::executor {

namespace {


}  // namespace

Result<ExecResult> create_table(Engine& engine, parser::CreateTable statement) {
    if (engine.tables.database.tables.contains(statement.name))
        return execution_error(format("table '{}' already exists", statement.name));
    // A second column of a name could never be named: lookups take the first.
    std::set<std::string_view> names;
    for (const auto& def : statement.columns) {
        if (!names.insert(def.name).second) return column_exists_error(def.name, statement.name);
    }
    std::vector<Column> columns;
    columns.reserve(statement.columns.size());
    for (auto& def : statement.columns) {
        auto column = Column::from_def(std::move(def.name), def.data_type, std::move(def.default_value), def.nullable,
                                       def.hash);
        if (!column) return fail(column.error());
        columns.push_back(std::move(*column));
    }
    size_t pk_columns = 0;
    for (const Column& c : columns) pk_columns += c.data_type.kind == DataTypeKind::Pk ? 1 : 0;
    if (pk_columns > 1) return execution_error("only one Pk column allowed per table");
    for (const Column& c : columns) {
        if (c.default_value && c.default_value->is_today() && !is_date_type(c.data_type))
            return execution_error(format("column '{}': Default(Today) is only valid for Date and DateTime", c.name));
        if (c.salt && !is_text_type(c.data_type))
            return execution_error(format("column '{}': HASH is only valid for TEXT and STRING columns", c.name));
    }
    Table table;
    table.name = statement.name;
    table.columns = std::move(columns);
    engine.tables.database.tables.emplace(statement.name, std::move(table));
    engine.tables.rebuild_pk_index(statement.name);
    return TableCreated{std::move(statement.name)};
}

Result<ExecResult> drop_table(Engine& engine, const parser::DropTable& statement) {
    const std::string& name = statement.name;
    auto it = engine.tables.database.tables.find(name);
    if (it == engine.tables.database.tables.end()) return execution_error(format("table '{}' not found", name));

    // Inside a transaction, keep the merge policy the drop takes (the
    // pre-image holds the rows, the transaction the index definitions) so
    // that ROLLBACK can bring the table back whole.
    if (engine.txn.pre_images) {
        TxnPreImage& pre = (*engine.txn.pre_images)[name];
        if (!pre.drop_recorded) {
            pre.drop_recorded = true;
            if (auto p = engine.tables.merge_policies.find(name); p != engine.tables.merge_policies.end())
                pre.dropped_merge_policy = p->second;
        }
    }
    engine.tables.forget_table(name);
    return TableDropped{name};
}

Result<ExecResult> truncate_table(Engine& engine, const parser::Truncate& statement) {
    auto it = engine.tables.database.tables.find(statement.table);
    if (it == engine.tables.database.tables.end()) return execution_error(format("table '{}' not found", statement.table));
    Table& table = it->second;
    uint64_t removed = table.rows.size();
    table.rows.clear();
    table.rowids.clear();
    table.next_rowid = 1;
    engine.tables.row_cache.erase(statement.table);
    engine.tables.rebuild_indexes(statement.table);
    return TableTruncated{statement.table, removed};
}

Result<ExecResult> create_index(Engine& engine, parser::CreateIndex statement) {
    if (engine.tables.mem_indexes.contains(statement.name))
        return execution_error(format("index '{}' already exists", statement.name));
    if (statement.columns.empty()) return execution_error("index must list at least one column");
    auto it = engine.tables.database.tables.find(statement.table);
    if (it == engine.tables.database.tables.end()) return execution_error(format("table '{}' not found", statement.table));
    const Table& table = it->second;

    std::vector<size_t> positions;
    positions.reserve(statement.columns.size());
    for (const std::string& column : statement.columns) {
        auto pos = table.column_index(column);
        if (!pos) return execution_error(format("column '{}' not found on '{}'", column, statement.table));
        positions.push_back(*pos);
    }
    for (size_t pos : positions) {
        if (table.columns[pos].data_type.kind == DataTypeKind::Pk)
            return execution_error("primary key column already has an index");
    }
    for (const auto& [name, index] : engine.tables.mem_indexes) {
        if (index.table == statement.table && index.columns == statement.columns)
            return execution_error(
                format("columns ({}) are already indexed on '{}'", join_texts(statement.columns), statement.table));
    }
    // Row by row, as a build that enters the rows in order meets them: a
    // repeated key, then a key too long for the page store. The second is
    // refused here also where the store builds the index only at COMMIT.
    std::set<IndexKey, KeyLess> seen;
    for (const RowView row : table.rows) {
        if (statement.unique) {
            auto key = MemIndex::key_for_row(row, positions);
            if (key && !seen.insert(std::move(*key)).second)
                return execution_error(format("unique index '{}': duplicate key", statement.name));
        }
        if (auto st = check_row_index_key(row, positions); !st) return fail(st.error());
    }
    std::string name = statement.name;
    engine.tables.mem_indexes.insert(MemIndex(name, std::move(statement.table), std::move(statement.columns),
                                       std::move(positions), statement.unique));
    engine.tables.rebuild_index(name);
    return IndexCreated{std::move(name)};
}

Result<ExecResult> drop_index(Engine& engine, const parser::DropIndex& statement) {
    auto removed = engine.tables.mem_indexes.remove(statement.name);
    if (!removed) return execution_error(format("index '{}' not found", statement.name));
    return IndexDropped{statement.name, std::move(removed->table)};
}

}  // namespace zembrel::executor
