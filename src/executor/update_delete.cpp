// UPDATE and DELETE on the in-memory side. Every check (table, WHERE, SET
// list, unique keys) is made before the first row changes, so a failed
// statement leaves rows, row ids and both index families as they were. The
// changed rows go back to the execute step in the outcome: it writes them to
// the page store by row id and, for a shadow session, captures them.

#include <algorithm>
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
    Updated out{0, std::move(statement.table), {}, {}, {}, {}};
    out.positions = filter ? filter->matching(engine.tables, *table) : all_positions(*table);
    const size_t n = out.positions.size();
    if (n == 0) return out;

    // Each column once, the last assignment of it winning, as applied in turn.
    std::stable_sort(sets->begin(), sets->end(),
                     [](const SetValue& a, const SetValue& b) { return a.position < b.position; });
    std::vector<const Value*> values;
    for (size_t s = 0; s < sets->size(); ++s) {
        if (s + 1 < sets->size() && (*sets)[s + 1].position == (*sets)[s].position) continue;
        out.columns.push_back((*sets)[s].position);
        values.push_back(&(*sets)[s].value);
    }
    FlatRows cells;
    cells.reserve(n, out.columns.size());
    for (size_t c = 0; c < n; ++c) {
        std::span<Value> row = cells.append_blank(out.columns.size());
        for (size_t k = 0; k < values.size(); ++k) row[k] = *values[k];
    }
    // On success `cells` holds the values the rows had in those columns.
    if (auto st = engine.tables.update_rows(out.table, out.positions, out.columns, cells); !st) return fail(st.error());

    // The rows as they were: the cells taken out, and the kept cells lent by the table.
    const size_t width = table->rows.width();
    out.rowids.reserve(n);
    out.before.reserve(n, width);
    for (size_t c = 0; c < n; ++c) {
        const size_t at = out.positions[c];
        out.rowids.push_back(table->rowids[at]);
        std::span<Value> image = out.before.append_blank(width);
        const RowView now = table->rows[at];
        for (size_t i = 0; i < width; ++i) image[i].lend_from(now[i]);
        std::span<Value> old = cells.cells(c);
        for (size_t k = 0; k < out.columns.size(); ++k) Value::relocate(image[out.columns[k]], old[k]);
    }
    out.count = n;
    return out;
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
    Deleted out{0, std::move(statement.table), 0, {}, {}, {}};
    out.positions = filter ? filter->matching(engine.tables, *table) : all_positions(*table);
    out.rowids.reserve(out.positions.size());
    for (size_t p : out.positions) out.rowids.push_back(table->rowids[p]);
    if (!out.positions.empty()) out.rows = engine.tables.delete_rows(out.table, out.positions);
    out.count = out.positions.size();
    out.remaining = table->rows.size();
    return out;
}

}  // namespace zembrel::executor
