#include "executor/access_path.h"

#include <algorithm>
#include <cmath>
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
std::optional<size_t> column_of(const Table& table, const parser::TableRef& from, const parser::ColumnRef& ref) {
    if (ref.table && *ref.table != from.name && !(from.alias && *from.alias == *ref.table)) return std::nullopt;
    return table.column_index(ref.column);
}

// The names and positions of a select list of plain columns (or `*`) over
// the one table, without copying its columns; none when a reference does
// not resolve.
struct PlainProjection {
    std::vector<std::string> columns;
    std::vector<int64_t> projection;
};
std::optional<PlainProjection> plain_projection(const Table& table, const parser::TableRef& from,
                                                const std::optional<std::vector<parser::SelectItem>>& items) {
    PlainProjection out;
    if (!items) {
        for (size_t i = 0; i < table.columns.size(); ++i) {
            out.columns.push_back(table.columns[i].name);
            out.projection.push_back(static_cast<int64_t>(i));
        }
        return out;
    }
    out.columns.reserve(items->size());
    out.projection.reserve(items->size());
    for (const parser::SelectItem& item : *items) {
        const auto* ref = std::get_if<parser::ColumnRef>(&item.node);
        if (ref == nullptr) return std::nullopt;
        auto at = column_of(table, from, *ref);
        if (!at) return std::nullopt;
        out.columns.push_back(ref->column);
        out.projection.push_back(static_cast<int64_t>(*at));
    }
    return out;
}

// The column of a comparison when it belongs to the FROM table (unqualified,
// or qualified with the table's name or alias).
std::optional<size_t> own_column(const BoundTable& from, const parser::ColumnRef& ref) {
    if (ref.table && *ref.table != from.name && !(from.alias && *from.alias == *ref.table)) return std::nullopt;
    for (size_t i = 0; i < from.columns.size(); ++i)
        if (from.columns[i].name == ref.column) return i;
    return std::nullopt;
}

struct ColumnRange {
    size_t column = 0;
    Bound lower, upper;
};

// The tighter of two lower (or upper) bounds under the key order.
Bound tighter(const Bound& a, const Bound& b, bool lower) {
    if (a.kind == Bound::Kind::Unbounded) return b;
    if (b.kind == Bound::Kind::Unbounded) return a;
    const auto c = Value::key_cmp(a.value, b.value);
    if (c == 0) return a.kind == Bound::Kind::Excluded ? a : b;
    return (lower ? c > 0 : c < 0) ? a : b;
}

std::optional<ColumnRange> column_range(const parser::Expr& where, const BoundTable& from) {
    if (const auto* c = std::get_if<parser::CompareExpr>(&where.node)) {
        const auto* literal = std::get_if<Value>(&c->right.node);
        if (literal == nullptr || literal->is_null()) return std::nullopt;
        auto column = own_column(from, c->left);
        if (!column) return std::nullopt;
        const DataType type = from.columns[*column].data_type;
        ColumnRange range{*column, {}, {}};
        using K = Bound::Kind;
        auto set = [&](Bound& end, K kind, bool is_lower) {
            auto fitted = fit_bound(*literal, kind, type, is_lower);
            if (!fitted) return false;
            end = std::move(*fitted);
            return true;
        };
        switch (c->op) {
            case parser::CompareOp::Eq:
                if (!set(range.lower, K::Included, true) || !set(range.upper, K::Included, false)) return std::nullopt;
                break;
            case parser::CompareOp::Lt: if (!set(range.upper, K::Excluded, false)) return std::nullopt; break;
            case parser::CompareOp::Le: if (!set(range.upper, K::Included, false)) return std::nullopt; break;
            case parser::CompareOp::Gt: if (!set(range.lower, K::Excluded, true)) return std::nullopt; break;
            case parser::CompareOp::Ge: if (!set(range.lower, K::Included, true)) return std::nullopt; break;
            case parser::CompareOp::Ne: return std::nullopt;
        }
        return range;
    }
    if (const auto* a = std::get_if<parser::AndExpr>(&where.node)) {
        auto l = column_range(*a->left, from);
        auto r = column_range(*a->right, from);
        if (!l || !r || l->column != r->column) return std::nullopt;
        return ColumnRange{l->column, tighter(l->lower, r->lower, true), tighter(l->upper, r->upper, false)};
    }
    return std::nullopt;
}

// (column, fitted value) per equality of an AND of equalities with literals.
bool equality_pairs(const parser::Expr& where, const BoundTable& from, std::vector<std::pair<size_t, Value>>& out) {
    if (const auto* c = std::get_if<parser::CompareExpr>(&where.node)) {
        const auto* literal = std::get_if<Value>(&c->right.node);
        if (c->op != parser::CompareOp::Eq || literal == nullptr || literal->is_null()) return false;
        auto column = own_column(from, c->left);
        if (!column) return false;
        // An equality fits only where the literal keeps its exact value.
        auto fitted = fit_bound(*literal, Bound::Kind::Included, from.columns[*column].data_type, true);
        if (!fitted || Value::sql_cmp(fitted->value, *literal) != 0) return false;
        out.emplace_back(*column, std::move(fitted->value));
        return true;
    }
    if (const auto* a = std::get_if<parser::AndExpr>(&where.node))
        return equality_pairs(*a->left, from, out) && equality_pairs(*a->right, from, out);
    return false;
}

// An index a path may use, wherever it lives; it borrows the index's (or
// the catalog's) fields for the one planning call.
struct Candidate {
    const std::string* name;
    const std::vector<std::string>* columns;
    const std::vector<size_t>* positions;
};

struct Candidates {
    std::vector<Candidate> indexes;  // by name
    bool in_page_file = false;
    std::optional<size_t> pk_column;  // a loaded table's Pk column with its primary-key tree
};

// The usable indexes of a loaded table (those in step with its rows, and
// its primary-key tree), or of a table only in the page file (those whose
// columns the catalog places inside its rows). A stale catalog is read
// again before anyone may use it: until then, no path.
Candidates candidate_indexes(const Engine& engine, const std::string& table_name, size_t width) {
    Candidates out;
    if (const Table* table = engine.tables.find(table_name)) {
        for (const std::string& name : engine.tables.index_names_of(table_name)) {
            const MemIndex* index = engine.tables.index(name);
            if (index != nullptr && index_in_step(*index, *table))
                out.indexes.push_back({&index->name, &index->columns, &index->positions});
        }
        if (const PkIndex* pk = engine.tables.pk_index(table_name)) out.pk_column = pk->pk_column;
    } else if (const PageStore* store = engine.page_store(); store != nullptr && !engine.file.catalog_stale) {
        const CatalogEntry* entry = store->catalog.get(table_name);
        if (entry == nullptr) return out;
        out.in_page_file = true;
        if (entry->pk_column && *entry->pk_column < width) out.pk_column = entry->pk_column;
        for (const IndexCatalogEntry& ix : entry->indexes) {
            if (ix.columns.empty() || ix.positions.size() != ix.columns.size()) continue;
            if (std::any_of(ix.positions.begin(), ix.positions.end(), [&](size_t p) { return p >= width; })) continue;
            out.indexes.push_back({&ix.name, &ix.columns, &ix.positions});
        }
    }
    std::sort(out.indexes.begin(), out.indexes.end(),
              [](const Candidate& a, const Candidate& b) { return *a.name < *b.name; });
    return out;
}

AccessPath path_through(AccessPath::Kind kind, const Candidate& index, bool in_page_file) {
    AccessPath path;
    path.kind = kind;
    path.index = *index.name;
    path.columns = *index.columns;
    path.in_page_file = in_page_file;
    return path;
}

// The path of a range: one value of the Pk column through the primary-key
// tree, else a single-column index on the column. A range uses
// single-column indexes only: a composite index leaves out rows with NULL in
// its later columns, which its first column's range must still return. The
// page file has no primary-key tree: there an index on the Pk column reads
// less than the RowCache the Pk lookup keys, so it goes first.
std::optional<AccessPath> range_path(const Candidates& candidates, const ColumnRange& range, const BoundTable& from) {
    using K = Bound::Kind;
    const bool pk_point = candidates.pk_column == range.column && range.lower.kind == K::Included &&
                          range.upper.kind == K::Included &&
                          Value::key_cmp(range.lower.value, range.upper.value) == 0;
    auto through_pk = [&] {
        AccessPath path;
        path.kind = AccessPath::Kind::PrimaryKey;
        path.columns = {from.columns[range.column].name};
        path.lower = range.lower;
        path.upper = range.upper;
        path.in_page_file = candidates.in_page_file;
        return path;
    };
    if (pk_point && !candidates.in_page_file) return through_pk();
    for (const Candidate& index : candidates.indexes) {
        if (index.positions->size() != 1 || index.positions->front() != range.column) continue;
        AccessPath path = path_through(AccessPath::Kind::Range, index, candidates.in_page_file);
        path.lower = range.lower;
        path.upper = range.upper;
        return path;
    }
    if (pk_point) return through_pk();
    return std::nullopt;
}

bool has_window_items(const parser::SelectStatement& s) {
    return s.items && std::any_of(s.items->begin(), s.items->end(), [](const parser::SelectItem& item) {
               return item.kind() == parser::SelectItemKind::Window;
           });
}

std::optional<AccessPath> where_path(const Candidates& candidates, const parser::Expr& where, const BoundTable& from) {
    if (candidates.indexes.empty() && !candidates.pk_column) return std::nullopt;
    std::vector<std::pair<size_t, Value>> pairs;
    if (equality_pairs(where, from, pairs) && pairs.size() >= 2) {
        for (const Candidate& index : candidates.indexes) {
            if (index.positions->size() != pairs.size()) continue;
            bool same = true;
            for (size_t i = 0; i < pairs.size() && same; ++i) same = (*index.positions)[i] == pairs[i].first;
            if (!same) continue;
            AccessPath path = path_through(AccessPath::Kind::Composite, index, candidates.in_page_file);
            for (auto& [column, value] : pairs) path.key.push_back(value);
            return path;
        }
    }
    auto range = column_range(where, from);
    if (!range) return std::nullopt;
    return range_path(candidates, *range, from);
}

// ORDER BY one indexed column, ascending, with a LIMIT. The index holds no
// row with a Null key: in memory the walk adds them first, where the sort
// puts them (the index's id count tells whether there are any); from the
// page file only a scan would find them, so there the path needs a WHERE
// that rejects them (a range on the column), a NOT NULL column, or an index
// with an entry for every row.
std::optional<AccessPath> ordered_path(Engine& engine, const parser::SelectStatement& s, const BoundTable& from) {
    if (s.order_by->size() != 1 || !s.limit || has_window_items(s)) return std::nullopt;
    const parser::OrderByItem& item = s.order_by->front();
    if (item.descending) return std::nullopt;
    auto column = own_column(from, item.column);
    if (!column) return std::nullopt;
    ColumnRange range{*column, {}, {}};
    if (s.where_clause) {
        auto where = column_range(*s.where_clause, from);
        if (!where || where->column != *column) return std::nullopt;
        range = std::move(*where);
    }
    const Candidates candidates = candidate_indexes(engine, s.from.name, from.columns.size());
    auto path = range_path(candidates, range, from);
    if (path && path->in_page_file && path->kind == AccessPath::Kind::Range && !s.where_clause &&
        from.columns[*column].nullable) {
        // A tree that cannot be counted is left to the scan, which reports it.
        auto complete = page_index_complete(engine, s.from.name, path->index);
        if (!complete || !*complete) return std::nullopt;
    }
    if (path) {
        path->limit = s.limit;
        path->ordered = true;
    }
    return path;
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

Result<std::optional<std::vector<Row>>> seek_path(Engine& engine, const std::string& table_name,
                                                  const AccessPath& path, const parser::Expr* where,
                                                  std::span<const BoundTable> tables, SeekOrder order) {
    std::optional<Predicate> predicate;
    if (where != nullptr) {
        auto bound = bind_predicate(*where, tables);
        if (!bound) return fail(bound.error());
        predicate = std::move(*bound);
    }
    const Predicate* test = predicate ? &*predicate : nullptr;
    if (path.ordered) order = SeekOrder::Index;
    using Out = std::optional<std::vector<Row>>;
    if (path.in_page_file) {
        PageStore* store = engine.page_store();
        if (store == nullptr || engine.tables.find(table_name) != nullptr) return Out();
        if (path.kind == AccessPath::Kind::PrimaryKey) {
            const CatalogEntry* entry = store->catalog.get(table_name);
            if (entry == nullptr || !entry->pk_column) return Out();
            auto rows = page_pk_rows(engine, table_name, *entry->pk_column, path.lower.value);
            if (!rows) return fail(rows.error());
            if (path.limit && rows->size() > *path.limit) rows->resize(*path.limit);
            return Out(std::move(*rows));
        }
        return page_seek_rows(*store, *page_interiors(engine, table_name), *page_decoded_rows(engine, table_name),
                              table_name, path, order,
                              [test](RowView row) { return passes(test, row); });
    }
    const Table* table = engine.tables.find(table_name);
    if (table == nullptr) return Out();
    std::vector<Row> rows;
    if (!memory_seek(engine, *table, path, test, order, [&](RowView row) { rows.push_back(row.to_row()); })) return Out();
    return Out(std::move(rows));
}

}  // namespace

bool above_lower(const Value& k, const Bound& lower) {
    if (lower.kind == Bound::Kind::Unbounded) return true;
    const auto c = Value::key_cmp(k, lower.value);
    return c > 0 || (c == 0 && lower.kind == Bound::Kind::Included);
}

bool below_upper(const Value& k, const Bound& upper) {
    if (upper.kind == Bound::Kind::Unbounded) return true;
    const auto c = Value::key_cmp(k, upper.value);
    return c < 0 || (c == 0 && upper.kind == Bound::Kind::Included);
}

std::optional<AccessPath> plan_access_path(Engine& engine, const parser::SelectStatement& s, const BoundTable& from,
                                           bool aggregates) {
    if (!s.joins.empty()) return std::nullopt;
    if (aggregates) {
        // The seek gives the rows to group; ORDER BY and LIMIT act on the
        // groups.
        if (!s.where_clause) return std::nullopt;
        return plan_where_access_path(engine, s.from.name, *s.where_clause, from);
    }
    if (s.order_by) return ordered_path(engine, s, from);
    if (!s.where_clause) return std::nullopt;
    auto path = plan_where_access_path(engine, s.from.name, *s.where_clause, from);
    if (path && !has_window_items(s)) path->limit = s.limit;
    return path;
}

std::optional<AccessPath> plan_where_access_path(const Engine& engine, const std::string& table_name,
                                                 const parser::Expr& where, const BoundTable& from) {
    return where_path(candidate_indexes(engine, table_name, from.columns.size()), where, from);
}

Result<std::optional<Rows>> try_index_fast_path(Engine& engine, const parser::SelectStatement& s) {
    if (!s.joins.empty() || s.group_by || s.order_by || !s.where_clause || !plain_columns_only(s))
        return std::optional<Rows>();
    const Table* table = engine.tables.find(s.from.name);
    if (table == nullptr) return std::optional<Rows>();
    auto projection = plain_projection(*table, s.from, s.items);
    if (!projection) return std::optional<Rows>();
    const BoundTable from{s.from.name, table->columns, s.from.alias, 0};
    auto path = plan_access_path(engine, s, from, false);
    if (!path || path->in_page_file) return std::optional<Rows>();
    std::optional<Predicate> predicate;
    if (path->kind != AccessPath::Kind::PrimaryKey) {
        auto bound = bind_predicate(*s.where_clause, std::span<const BoundTable>(&from, 1));
        if (!bound) return fail(bound.error());
        predicate = std::move(*bound);
    }
    Rows result{std::move(projection->columns), {}};
    const std::vector<int64_t>& slots = projection->projection;
    const Predicate* test = predicate ? &*predicate : nullptr;
    const bool found = memory_seek(engine, *table, *path, test, SeekOrder::Index, [&](RowView row) {
        Row out;
        out.reserve(slots.size());
        for (int64_t slot : slots) {
            if (slot < 0 || static_cast<size_t>(slot) >= row.size()) invariant_failed("projection position outside the row");
            out.push_back(row[static_cast<size_t>(slot)]);
        }
        result.rows.push_back(std::move(out));
    });
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

bool index_in_step(const MemIndex& index, const Table& table) {
    if (index.may_hold_stale_ids() || index.entered_rows() != table.rows.size()) return false;
    if (table.rowids.size() != table.rows.size() || index.id_count() > table.rows.size()) return false;
    return table.rows.empty() || table.rowids.back() == index.last_entered_id();
}

KeyFit fit_equal_key(const Value& probe, DataType type, Value& key) {
    const bool text = probe.kind() == ValueKind::Text || probe.kind() == ValueKind::Uuid ||
                      probe.kind() == ValueKind::Date || probe.kind() == ValueKind::DateTime;
    switch (type.kind) {
        case DataTypeKind::Int:
            if (probe.is_int()) { key = probe; return KeyFit::Key; }
            if (probe.is_float()) {
                const double f = probe.as_float();
                if (std::isnan(f) || std::floor(f) != f) return KeyFit::NoMatch;
                if (!(std::fabs(f) < kExactIntegers)) return KeyFit::Scan;
                key = Value::integer(static_cast<int64_t>(f));
                return KeyFit::Key;
            }
            return KeyFit::NoMatch;
        case DataTypeKind::Float:
            if (probe.is_float()) { key = probe; return KeyFit::Key; }
            if (probe.is_int()) { key = Value::floating(static_cast<double>(probe.as_int())); return KeyFit::Key; }
            return KeyFit::NoMatch;
        case DataTypeKind::Text:
        case DataTypeKind::Str: if (text) { key = Value::text(probe.as_text()); return KeyFit::Key; } return KeyFit::NoMatch;
        case DataTypeKind::Pk: if (text) { key = Value::uuid(probe.as_text()); return KeyFit::Key; } return KeyFit::NoMatch;
        case DataTypeKind::Date: if (text) { key = Value::date(probe.as_text()); return KeyFit::Key; } return KeyFit::NoMatch;
        case DataTypeKind::DateTime:
            if (text) { key = Value::datetime(probe.as_text()); return KeyFit::Key; }
            return KeyFit::NoMatch;
        case DataTypeKind::Bool: if (probe.kind() == ValueKind::Bool) { key = probe; return KeyFit::Key; } return KeyFit::NoMatch;
    }
    return KeyFit::Scan;
}

std::optional<Bound> fit_bound(const Value& literal, Bound::Kind kind, DataType type, bool is_lower) {
    switch (type.kind) {
        case DataTypeKind::Int:
            if (literal.is_int()) return Bound{kind, literal};
            if (literal.is_float()) {
                const double f = literal.as_float();
                // Past this one double is `=` to several Ints on both sides of
                // its floor and ceiling.
                if (!(std::fabs(f) < kExactIntegers)) return std::nullopt;
                const double whole = is_lower ? std::floor(f) : std::ceil(f);
                return Bound{Bound::Kind::Included, Value::integer(static_cast<int64_t>(whole))};
            }
            return std::nullopt;
        case DataTypeKind::Float:
            if (literal.is_float()) return Bound{kind, literal};
            if (literal.is_int())
                return Bound{Bound::Kind::Included, Value::floating(static_cast<double>(literal.as_int()))};
            return std::nullopt;
        case DataTypeKind::Text:
        case DataTypeKind::Str:
            if (literal.kind() == ValueKind::Text || literal.kind() == ValueKind::Uuid) return Bound{kind, literal};
            return std::nullopt;
        case DataTypeKind::Pk:
            if (literal.kind() == ValueKind::Text || literal.kind() == ValueKind::Uuid)
                return Bound{kind, Value::uuid(literal.as_text())};
            return std::nullopt;
        case DataTypeKind::Date:
            if (literal.kind() == ValueKind::Text || literal.kind() == ValueKind::Date)
                return Bound{kind, Value::date(literal.as_text())};
            return std::nullopt;
        case DataTypeKind::DateTime:
            if (literal.kind() == ValueKind::Text || literal.kind() == ValueKind::DateTime)
                return Bound{kind, Value::datetime(literal.as_text())};
            return std::nullopt;
        case DataTypeKind::Bool:
            if (literal.kind() == ValueKind::Bool) return Bound{kind, literal};
            return std::nullopt;
    }
    return std::nullopt;
}


}  // namespace zembrel::executor
