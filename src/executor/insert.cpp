// INSERT: every statement row becomes a complete table row first (generated
// keys, coercion, defaults, NOT NULL), the index keys of all of them are
// measured, then all rows are appended at once; a unique violation takes
// every new row out again, so a statement is all or nothing.

#include <utility>

#include "executor/handlers.h"
#include "types/coerce.h"
#include "btree/mem_index.h"
#include "types/text_format.h"
#include "types/uuid.h"

namespace zembrel::executor {

namespace {

bool is_pk(const Column& c) { return c.data_type.kind == DataTypeKind::Pk; }

Status check_not_null(const Column& column, const Value& value) {
    if (value.is_null() && !column.nullable)
        return execution_error(format("column '{}' does not accept NULL (NOT NULL)", column.name));
    return {};
}

// A row for INSERT INTO t VALUES (...): one value per non-Pk column.
Result<Row> build_positional(const Table& table, std::vector<Value>& values) {
    size_t expected = 0;
    for (const Column& c : table.columns) expected += is_pk(c) ? 0 : 1;
    if (values.size() != expected)
        return execution_error(
            format("expected {} values (Pk columns are auto-generated), got {}", expected, values.size()));
    Row row;
    row.reserve(table.columns.size());
    size_t i = 0;
    for (const Column& column : table.columns) {
        if (is_pk(column)) {
            row.push_back(Value::uuid(types::new_uuid()));
            continue;
        }
        auto value = types::coerce_value(std::move(values[i++]), column);
        if (!value) return fail(value.error());
        if (auto st = check_not_null(column, *value); !st) return fail(st.error());
        row.push_back(std::move(*value));
    }
    return row;
}

// A row for INSERT INTO t (a, b) VALUES (...). `slots[c]` is the position in
// the list of the first entry naming table column c, or none.
Result<Row> build_listed(const Table& table, const std::vector<std::optional<size_t>>& slots, size_t listed,
                         std::vector<Value>& values) {
    if (values.size() != listed)
        return execution_error(format("column count ({}) does not match value count ({})", listed, values.size()));
    Row row;
    row.reserve(table.columns.size());
    for (size_t c = 0; c < table.columns.size(); ++c) {
        const Column& column = table.columns[c];
        if (is_pk(column)) {
            row.push_back(Value::uuid(types::new_uuid()));
            continue;
        }
        // An omitted column stores its default exactly as an explicit NULL
        // would (through coercion), so a HASH column never keeps a default
        // in clear text. Each entry fills one column at most, so it moves.
        Value given = slots[c] ? std::move(values[*slots[c]]) : Value::null();
        auto value = types::coerce_value(std::move(given), column);
        if (!value) return fail(value.error());
        if (auto st = check_not_null(column, *value); !st) return fail(st.error());
        row.push_back(std::move(*value));
    }
    return row;
}

}  // namespace

Result<ExecResult> insert(Engine& engine, parser::Insert statement) {
    auto it = engine.tables.database.tables.find(statement.table);
    if (it == engine.tables.database.tables.end()) return execution_error(format("table '{}' not found", statement.table));
    Table& table = it->second;

    // Phase 1: build every row; the table is untouched until all are valid.
    // A bad listed name is reported only once a row's value count has
    // passed, since each row is checked count first, then names.
    std::vector<std::optional<size_t>> slots;
    size_t listed = 0;
    std::optional<EngineError> name_error;
    if (statement.columns) {
        listed = statement.columns->size();
        slots.assign(table.columns.size(), std::nullopt);
        for (size_t i = 0; i < listed && !name_error; ++i) {
            const std::string& name = (*statement.columns)[i];
            auto pos = table.column_index(name);
            if (!pos) {
                name_error = EngineError::execution(format("column '{}' not found in table '{}'", name, statement.table));
            } else if (is_pk(table.columns[*pos])) {
                name_error = EngineError::execution(format("column '{}' is Pk and cannot be set manually", name));
            } else if (!slots[*pos]) {
                slots[*pos] = i;
            }
        }
    }
    std::vector<Row> built;
    built.reserve(statement.rows.size());
    for (auto& values : statement.rows) {
        if (statement.columns && values.size() == listed && name_error) return fail(std::move(*name_error));
        auto row = statement.columns ? build_listed(table, slots, listed, values) : build_positional(table, values);
        if (!row) return fail(row.error());
        built.push_back(std::move(*row));
    }

    // A key the page store cannot hold is refused here, in or out of a
    // transaction, rather than by the mirroring or at COMMIT.
    if (auto st = engine.tables.check_index_key_lengths(statement.table, built); !st) return fail(st.error());

    // Phase 2: append with fresh row ids.
    const size_t n = built.size();
    const size_t first = table.rows.size();
    renumber_if_mismatched(table);
    std::optional<size_t> pk_column;
    for (size_t c = 0; c < table.columns.size() && !pk_column; ++c)
        if (is_pk(table.columns[c])) pk_column = c;
    std::optional<std::string> pk;
    if (n == 1 && pk_column) pk = std::string(built[0][*pk_column].as_text());
    // No exact reserve here: it would defeat geometric growth and copy the
    // whole table on every one-row INSERT.
    for (Row& row : built) {
        table.rowids.push_back(table.next_rowid++);
        table.rows.push_back(std::move(row));
    }
    engine.tables.pk_index_insert(statement.table, first);
    if (auto st = engine.tables.index_insert_row(statement.table, first); !st) {
        engine.tables.truncate_table_rows(statement.table, n);
        return fail(st.error());
    }
    return Inserted{statement.table, n, std::move(pk), table.rows.size()};
}

}  // namespace zembrel::executor
