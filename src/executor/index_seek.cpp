#include "executor/index_seek.h"

#include <algorithm>
#include <functional>
#include <limits>

#include "executor/page_seek.h"

namespace zembrel::executor {

namespace {

bool plain_columns_only(const parser::SelectStatement& s) {
    if (!s.items) return true;
    return std::all_of(s.items->begin(), s.items->end(),
                       [](const parser::SelectItem& item) { return item.kind() == parser::SelectItemKind::Column; });
}

// The position of a column of the one table in scope, as resolve_column
// finds it; none where resolve_column would fail.
std::optional<size_t> column_of(const std::vector<Column>& columns, const parser::TableRef& from,
                                const parser::ColumnRef& ref) {
    if (ref.table && *ref.table != from.name && !(from.alias && *from.alias == *ref.table)) return std::nullopt;
    for (size_t i = 0; i < columns.size(); ++i)
        if (columns[i].name == ref.column) return i;
    return std::nullopt;
}

// The names and positions of a select list of plain columns (or `*`) over
// the one table, without copying its columns; none when a reference does
// not resolve.
struct PlainProjection {
    std::vector<std::string> columns;
    std::vector<int64_t> projection;
};
std::optional<PlainProjection> plain_projection(const std::vector<Column>& columns, const parser::TableRef& from,
                                                const std::optional<std::vector<parser::SelectItem>>& items) {
    PlainProjection out;
    if (!items) {
        for (size_t i = 0; i < columns.size(); ++i) {
            out.columns.push_back(columns[i].name);
            out.projection.push_back(static_cast<int64_t>(i));
        }
        return out;
    }
    out.columns.reserve(items->size());
    out.projection.reserve(items->size());
    for (const parser::SelectItem& item : *items) {
        const auto* ref = std::get_if<parser::ColumnRef>(&item.node);
        if (ref == nullptr) return std::nullopt;
        auto at = column_of(columns, from, *ref);
        if (!at) return std::nullopt;
        out.columns.push_back(ref->column);
        out.projection.push_back(static_cast<int64_t>(*at));
    }
    return out;
}

using Predicate = operators::BoundPredicate;

bool passes(const Predicate* predicate, RowView row) {
    return predicate == nullptr || predicate->eval(row) == operators::Truth::True;
}

// Hands emit(row) the rows of a path over a loaded table that meet the
// predicate (the WHERE; none needed for a PrimaryKey path), at most the
// path's limit, in `order`. An ordered path without WHERE counts the rows
// with a Null key too, first (a range rejects them). False when the path's
// index is gone.
template <class Emit>
bool memory_seek(const Engine& engine, const Table& table, const AccessPath& path, const Predicate* predicate,
                 SeekOrder order, Emit&& emit) {
    uint64_t room = path.limit.value_or(std::numeric_limits<uint64_t>::max());
    // Whether another row may follow.
    auto take = [&](size_t at) {
        const RowView row = table.rows[at];
        if (passes(predicate, row)) {
            emit(row);
            --room;
        }
        return room > 0;
    };
    if (path.kind == AccessPath::Kind::PrimaryKey) {
        const PkIndex* pk = engine.tables.pk_index(table.name);
        if (pk == nullptr) return false;
        if (room == 0) return true;
        // The key answers the whole WHERE: it is where the WHERE's
        // comparisons on the Pk column meet, and Pk values compare with the
        // texts fitted to them by bytes under both orders.
        if (auto id = pk->tree.find(path.lower.value)) {
            if (auto at = table.position_of_rowid(*id)) emit(table.rows[*at]);
        }
        return true;
    }
    const MemIndex* index = engine.tables.index(path.index);
    if (index == nullptr || index->table != table.name || index->positions.empty()) return false;
    if (room == 0) return true;

    std::vector<size_t> positions;  // table order: gathered, then sorted
    auto add = [&](const RowIdList& ids) {
        for (uint64_t id : ids) {
            auto at = table.position_of_rowid(id);
            if (!at) continue;
            if (order == SeekOrder::Table) positions.push_back(*at);
            else if (!take(*at)) return false;
        }
        return true;
    };
    if (path.kind == AccessPath::Kind::Composite) {
        if (const RowIdList* ids = index->find(path.key)) add(*ids);
    } else if (index->positions.size() == 1 && path.lower.kind == Bound::Kind::Included &&
               path.upper.kind == Bound::Kind::Included && Value::key_cmp(path.lower.value, path.upper.value) == 0) {
        // One value: through find_one (a run of such lookups goes through
        // the index's hash view).
        if (const RowIdList* ids = index->find_one(path.lower.value)) add(*ids);
    } else {
        if (path.ordered && predicate == nullptr && index->id_count() < table.rows.size()) {
            const size_t column = index->positions.front();
            for (size_t at = 0; at < table.rows.size(); ++at) {
                const RowView row = table.rows[at];
                if (column < row.size() && row[column].is_null() && !take(at)) return true;
            }
        }
        const IndexKeyMap& map = index->map();
        auto it = path.lower.kind == Bound::Kind::Unbounded ? map.begin() : map.lower_bound(IndexKey{path.lower.value});
        for (; it != map.end(); ++it) {
            const Value& k = it->first.front();
            if (!below_upper(k, path.upper)) break;
            if (above_lower(k, path.lower) && !add(it->second)) break;
        }
    }
    if (order == SeekOrder::Table) {
        // Each row once, as a scan reads it.
        std::sort(positions.begin(), positions.end());
        positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
        for (size_t at : positions)
            if (!take(at)) break;
    }
    return true;
}

// Hands emit(row) the rows of `path` that meet the WHERE, as memory_seek
// does, over a loaded table or one in the page file (the view lives for
// the call only). False when the path's table or index is gone.
Result<bool> seek_path_into(Engine& engine, const std::string& table_name, const AccessPath& path,
                            const parser::Expr* where, std::span<const BoundTable> tables, SeekOrder order,
                            const std::function<void(RowView)>& emit) {
    std::optional<Predicate> predicate;
    if (where != nullptr) {
        auto bound = bind_predicate(*where, tables);
        if (!bound) return fail(bound.error());
        predicate = std::move(*bound);
    }
    const Predicate* test = predicate ? &*predicate : nullptr;
    if (path.ordered) order = SeekOrder::Index;
    if (path.in_page_file) {
        PageStore* store = engine.page_store();
        if (store == nullptr || engine.tables.find(table_name) != nullptr) return false;
        if (path.kind == AccessPath::Kind::PrimaryKey) {
            const CatalogEntry* entry = store->catalog.get(table_name);
            if (entry == nullptr || !entry->pk_column) return false;
            auto rows = page_pk_rows(engine, table_name, *entry->pk_column, path.lower.value);
            if (!rows) return fail(rows.error());
            if (path.limit && rows->size() > *path.limit) rows->resize(*path.limit);
            for (const Row& row : *rows) emit(row);
            return true;
        }
        return page_seek_rows(*store, *page_interiors(engine, table_name), *page_decoded_rows(engine, table_name),
                              table_name, path, order, [&](RowView row) {
                                  if (!passes(test, row)) return false;
                                  emit(row);
                                  return true;
                              });
    }
    const Table* table = engine.tables.find(table_name);
    if (table == nullptr) return false;
    return memory_seek(engine, *table, path, test, order, emit);
}

Result<std::optional<std::vector<Row>>> seek_path(Engine& engine, const std::string& table_name,
                                                  const AccessPath& path, const parser::Expr* where,
                                                  std::span<const BoundTable> tables, SeekOrder order) {
    std::vector<Row> rows;
    auto found = seek_path_into(engine, table_name, path, where, tables, order,
                                [&](RowView row) { rows.push_back(row.to_row()); });
    if (!found) return fail(found.error());
    if (!*found) return std::optional<std::vector<Row>>();
    return std::optional<std::vector<Row>>(std::move(rows));
}

}  // namespace

Result<std::optional<Rows>> try_index_fast_path(Engine& engine, const parser::SelectStatement& s) {
    if (!s.joins.empty() || s.group_by || s.order_by || !s.where_clause || !plain_columns_only(s))
        return std::optional<Rows>();
    const TableSource source = table_source(engine, s.from.name);
    if (source.kind == TableSource::Kind::Missing) return std::optional<Rows>();
    auto projection = plain_projection(*source.columns, s.from, s.items);
    if (!projection) return std::optional<Rows>();
    const BoundTable from{s.from.name, *source.columns, s.from.alias, 0};
    auto path = plan_access_path(engine, s, from, false);
    if (!path) return std::optional<Rows>();
    const std::vector<int64_t>& slots = projection->projection;
    auto project = [&slots](RowView row) {
        Row out;
        out.reserve(slots.size());
        for (int64_t slot : slots) {
            if (slot < 0 || static_cast<size_t>(slot) >= row.size()) invariant_failed("projection position outside the row");
            out.push_back(row[static_cast<size_t>(slot)]);
        }
        return out;
    };
    if (path->in_page_file) {
        Rows result{std::move(projection->columns), {}};
        auto found = seek_path_into(engine, s.from.name, *path, &*s.where_clause,
                                    std::span<const BoundTable>(&from, 1), SeekOrder::Index,
                                    [&](RowView row) { result.rows.push_back(project(row)); });
        if (!found) return fail(found.error());
        if (!*found) return std::optional<Rows>();
        return std::optional<Rows>(std::move(result));
    }
    const Table* table = source.table;
    if (table == nullptr) return std::optional<Rows>();
    std::optional<Predicate> predicate;
    if (path->kind != AccessPath::Kind::PrimaryKey) {
        auto bound = bind_predicate(*s.where_clause, std::span<const BoundTable>(&from, 1));
        if (!bound) return fail(bound.error());
        predicate = std::move(*bound);
    }
    Rows result{std::move(projection->columns), {}};
    const Predicate* test = predicate ? &*predicate : nullptr;
    const bool found = memory_seek(engine, *table, *path, test, SeekOrder::Index,
                                   [&](RowView row) { result.rows.push_back(project(row)); });
    if (!found) return std::optional<Rows>();
    return std::optional<Rows>(std::move(result));
}

Result<std::optional<IndexSeek>> try_index_seek(Engine& engine, const parser::SelectStatement& s,
                                                std::span<const BoundTable> tables, bool aggregates) {
    if (tables.size() != 1) return std::optional<IndexSeek>();
    auto path = plan_access_path(engine, s, tables.front(), aggregates);
    if (!path) return std::optional<IndexSeek>();
    auto rows = seek_path(engine, s.from.name, *path, s.where_clause ? &*s.where_clause : nullptr, tables,
                          SeekOrder::Index);
    if (!rows) return fail(rows.error());
    if (!*rows) return std::optional<IndexSeek>();
    return std::optional<IndexSeek>(IndexSeek{std::move(*path), std::move(**rows)});
}

Result<std::optional<std::vector<Row>>> seek_rows(Engine& engine, const std::string& table_name,
                                                  const AccessPath& path, const parser::Expr& where,
                                                  std::span<const BoundTable> tables, SeekOrder order) {
    return seek_path(engine, table_name, path, &where, tables, order);
}

}  // namespace zembrel::executor
