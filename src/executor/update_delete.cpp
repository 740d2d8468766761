// UPDATE and DELETE on the in-memory side. Every check (table, WHERE, SET
// list, unique keys) is made before the first row changes, so a failed
// statement leaves rows, row ids and both index families as they were. The
// changed rows go back to the execute step in the outcome: it writes them to
// the page store by row id and, for a shadow session, captures them.

#include <utility>

#include "executor/handlers.h"
#include "executor/where_filter.h"
#include "types/coerce.h"
#include "types/text_format.h"

namespace zembrel::executor {

namespace {

struct SetValue {
    size_t position = 0;
    Value value;
};

// The SET list, in statement order, each value coerced (and hashed) once.
Result<std::vector<SetValue>> check_assignments(const Table& table, const std::vector<parser::Assignment>& list) {
    std::vector<SetValue> out;
    out.reserve(list.size());
    for (const parser::Assignment& a : list) {
        auto pos = table.column_index(a.column);
        if (!pos) return execution_error(format("column '{}' not found in table '{}'", a.column, table.name));
        const Column& column = table.columns[*pos];
        if (column.data_type.kind == DataTypeKind::Pk)
            return execution_error(format("cannot update PK column '{}'", a.column));
        auto value = types::coerce_value(a.value, column);
        if (!value) return fail(value.error());
        if (value->is_null() && !column.nullable)
            return execution_error(format("column '{}' does not accept NULL (NOT NULL)", column.name));
        out.push_back(SetValue{*pos, std::move(*value)});
    }
    return out;
}

// Row ids must pair with rows before rows are changed by id.
void pair_rowids(Engine& engine, Table& table) {
    if (renumber_if_mismatched(table)) engine.tables.rebuild_indexes(table.name);
}

}  // namespace

Result<ExecResult> update(Engine& engine, parser::Update statement) {
    Table* table = engine.tables.find_owned(statement.table);
    if (table == nullptr) return execution_error(format("table '{}' not found", statement.table));
    if (statement.where_clause) {
        if (auto st = check_where(*table, *statement.where_clause); !st) return fail(st.error());
    }
    auto sets = check_assignments(*table, statement.assignments);
    if (!sets) return fail(sets.error());
    std::optional<RowFilter> filter;
    if (statement.where_clause) {
        auto bound = bind_where(*table, *statement.where_clause);
        if (!bound) return fail(bound.error());
        filter.emplace(std::move(*bound));
    }

    pair_rowids(engine, *table);
    const std::vector<size_t> positions = filter ? filter->matching(engine.tables, *table) : all_positions(*table);
    std::vector<Row> after;
    after.reserve(positions.size());
    for (size_t p : positions) {
        Row row = table->rows[p];
        for (const SetValue& set : *sets) row[set.position] = set.value;
        after.push_back(std::move(row));
    }
    // On success `after` holds the rows as they were.
    if (auto st = engine.tables.update_rows(statement.table, positions, after); !st) return fail(st.error());
    std::vector<UpdatedRow> changed;
    changed.reserve(positions.size());
    for (size_t c = 0; c < positions.size(); ++c)
        changed.push_back(
            UpdatedRow{table->rowids[positions[c]], positions[c], std::move(after[c]), table->rows[positions[c]]});
    const uint64_t count = changed.size();
    return Updated{count, std::move(statement.table), std::move(changed)};
}

Result<ExecResult> remove(Engine& engine, parser::Delete statement) {
    Table* table = engine.tables.find_owned(statement.table);
    if (table == nullptr) return execution_error(format("table '{}' not found", statement.table));
    std::optional<RowFilter> filter;
    if (statement.where_clause) {
        if (auto st = check_where(*table, *statement.where_clause); !st) return fail(st.error());
        auto bound = bind_where(*table, *statement.where_clause);
        if (!bound) return fail(bound.error());
        filter.emplace(std::move(*bound));
    }
    pair_rowids(engine, *table);
    const std::vector<size_t> positions = filter ? filter->matching(engine.tables, *table) : all_positions(*table);
    if (positions.empty()) return Deleted{0, std::move(statement.table), table->rows.size(), {}};

    std::vector<DeletedRow> removed;
    removed.reserve(positions.size());
    for (size_t p : positions) removed.push_back(DeletedRow{table->rowids[p], p, {}});
    std::vector<Row> rows = engine.tables.delete_rows(statement.table, positions);
    for (size_t i = 0; i < rows.size(); ++i) removed[i].row = std::move(rows[i]);
    const uint64_t count = removed.size();
    const uint64_t remaining = table->rows.size();
    return Deleted{count, std::move(statement.table), remaining, std::move(removed)};
}

}  // namespace zembrel::executor
