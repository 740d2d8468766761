#include "legacy/json_database.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "catalog/json_reader.h"
#include "catalog/schema_json.h"
#include "types/text_format.h"
#include "types/utf8.h"

namespace zembrel::storage {

namespace {

constexpr std::array<std::string_view, 1> kDatabaseFields = {"tables"};
constexpr std::array<std::string_view, 5> kTableFields = {"name", "columns", "rows", "rowids", "next_rowid"};

// What the rest of the engine relies on, checked where the reader can still
// say where the table ends; `rows` are the table's rows as read, before the
// table takes them.
Status check_table(const JsonReader& in, Table& table, const std::vector<Row>& rows) {
    const size_t width = table.columns.size();
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].size() != width)
            return fail(in.error(format("row {} of table '{}' has {} values for {} columns", i + 1, table.name,
                                        rows[i].size(), width)));
    }
    // A list of another length is replaced by 1..n when the table is loaded;
    // only ids that will be kept must be usable.
    if (table.rowids.size() != rows.size() || table.rowids.empty()) return {};
    std::vector<std::uint64_t> sorted = table.rowids;
    std::sort(sorted.begin(), sorted.end());
    auto dup = std::adjacent_find(sorted.begin(), sorted.end());
    if (dup != sorted.end()) return fail(in.error(format("duplicate row id {} in table '{}'", *dup, table.name)));
    if (sorted.back() == UINT64_MAX) {
        // No id lies above the largest of all, so no new id could either:
        // the rows are numbered 1..n as when the list is absent.
        table.rowids.clear();
    } else if (table.next_rowid <= sorted.back()) {
        table.next_rowid = sorted.back() + 1;
    }
    return {};
}

Result<std::vector<std::uint64_t>> read_rowids(JsonReader& in) {
    std::vector<std::uint64_t> ids;
    auto st = in.read_array([&]() -> Status {
        auto id = in.read_u64();
        if (!id) return fail(id.error());
        ids.push_back(*id);
        return {};
    });
    if (!st) return fail(st.error());
    return ids;
}

Result<std::vector<Row>> read_rows(JsonReader& in) {
    std::vector<Row> rows;
    auto st = in.read_array([&]() -> Status {
        auto row = schema_json::read_row(in);
        if (!row) return fail(row.error());
        rows.push_back(std::move(*row));
        return {};
    });
    if (!st) return fail(st.error());
    return rows;
}

Result<Table> read_table(JsonReader& in) {
    static constexpr RecordShape kShape{"struct Table", kTableFields, 0b111, 3};
    Table table;
    std::vector<Row> rows;
    auto st = in.read_record(kShape, [&](std::size_t field) -> Status {
        switch (field) {
            case 0: {
                auto s = in.read_string();
                if (!s) return fail(s.error());
                table.name = std::move(*s);
                return {};
            }
            case 1: {
                auto cols = schema_json::read_column_list(in);
                if (!cols) return fail(cols.error());
                table.columns = std::move(*cols);
                return {};
            }
            case 2: {
                auto read = read_rows(in);
                if (!read) return fail(read.error());
                rows = std::move(*read);
                return {};
            }
            case 3: {
                auto ids = read_rowids(in);
                if (!ids) return fail(ids.error());
                table.rowids = std::move(*ids);
                return {};
            }
            default: {
                auto n = in.read_u64();
                if (!n) return fail(n.error());
                table.next_rowid = *n;
                return {};
            }
        }
    });
    if (!st) return fail(st.error());
    if (auto checked = check_table(in, table, rows); !checked) return fail(checked.error());
    table.rows.assign(std::move(rows));
    return table;
}

Status read_tables(JsonReader& in, Database& db) {
    if (in.peek().kind != JsonToken::BeginObject) return fail(in.invalid_type("a map"));
    in.advance();
    for (;;) {
        const JsonEvent& t = in.peek();
        if (t.kind == JsonToken::EndObject) break;
        if (t.kind != JsonToken::Key) return fail(in.invalid_type("a map key"));
        std::string key(in.text_of(t));
        in.advance();
        auto table = read_table(in);
        if (!table) return fail(table.error());
        db.tables.insert_or_assign(std::move(key), std::move(*table));
    }
    in.advance();
    return {};
}

Result<Database> read_document(JsonReader& in) {
    static constexpr RecordShape kShape{"struct Database", kDatabaseFields, 0b1, 1};
    Database db;
    auto st = in.read_record(kShape, [&](std::size_t) -> Status {
        db.tables.clear();
        return read_tables(in, db);
    });
    if (!st) return fail(st.error());
    if (auto end = in.finish(); !end) return fail(end.error());
    return db;
}

}  // namespace

Result<Database> read_json_database(std::string_view bytes) {
    if (auto bad = utf8_error(bytes)) return storage_error("read failed: " + *bad);
    JsonReader in(bytes);
    auto db = read_document(in);
    if (!db) return storage_error("parse failed: " + db.error().message);
    return db;
}

}  // namespace zembrel::storage
