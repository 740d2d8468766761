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

// The literal of `column = 'text'`, when the WHERE is exactly that. Only
// text literals: a Pk value is a Uuid, which equals a text of the same bytes
// under both orders of values, and nothing of another kind.
const parser::CompareExpr* pk_equality(const parser::Expr& where) {
    const auto* c = std::get_if<parser::CompareExpr>(&where.node);
    if (c == nullptr || c->op != parser::CompareOp::Eq) return nullptr;
    const auto* literal = std::get_if<Value>(&c->right.node);
    if (literal == nullptr || !(literal->kind() == ValueKind::Text || literal->kind() == ValueKind::Uuid)) return nullptr;
    return c;
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

}  // namespace

Result<std::optional<Rows>> try_pk_fast_path(Engine& engine, const parser::SelectStatement& s) {
    if (!s.joins.empty() || s.order_by || s.group_by || !s.where_clause || !plain_columns_only(s))
        return std::optional<Rows>();
    const Table* table = engine.tables.find(s.from.name);
    if (table == nullptr) return std::optional<Rows>();
    auto pk = engine.tables.pk_indexes.find(s.from.name);
    if (pk == engine.tables.pk_indexes.end()) return std::optional<Rows>();
    const parser::CompareExpr* eq = pk_equality(*s.where_clause);
    if (eq == nullptr) return std::optional<Rows>();
    auto position = column_of(*table, s.from, eq->left);
    if (!position || *position != pk->second.pk_column) return std::optional<Rows>();

    auto plan = plain_projection(*table, s.from, s.items);
    if (!plan) {
        // A reference that does not resolve: the binder words the error.
        const BoundTable bound{s.from.name, table->columns, s.from.alias, 0};
        auto planned = plan_select_list(std::span<const BoundTable>(&bound, 1), s.items, std::nullopt);
        if (!planned) return fail(planned.error());
        plan = PlainProjection{std::move(planned->columns), std::move(planned->projection)};
    }
    Rows result{std::move(plan->columns), {}};
    if (s.limit && *s.limit == 0) return std::optional<Rows>(std::move(result));
    auto rowid = pk->second.tree.find(std::get<Value>(eq->right.node));
    if (!rowid) return std::optional<Rows>(std::move(result));
    auto at = table->position_of_rowid(*rowid);
    if (!at) return std::optional<Rows>(std::move(result));
    const Row& row = table->rows[*at];
    Row out;
    out.reserve(plan->projection.size());
    for (int64_t slot : plan->projection) {
        if (slot < 0 || static_cast<size_t>(slot) >= row.size()) invariant_failed("projection position outside the row");
        out.push_back(row[static_cast<size_t>(slot)]);
    }
    result.rows.push_back(std::move(out));
    return std::optional<Rows>(std::move(result));
}

namespace {

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

// An index a path may use, wherever it lives.
struct Candidate {
    std::string name;
    std::vector<std::string> columns;
    std::vector<size_t> positions;
};

struct Candidates {
    std::vector<Candidate> indexes;  // by name
    bool in_page_file = false;
};

// The usable indexes of a loaded table (those in step with its rows), or of
// a table only in the page file (those whose columns the catalog places
// inside its rows). A stale catalog is read again before anyone may use it:
// until then, no path.
Candidates candidate_indexes(const Engine& engine, const std::string& table_name, size_t width) {
    Candidates out;
    if (const Table* table = engine.tables.find(table_name)) {
        for (const std::string& name : engine.tables.mem_indexes.names_of_table(table_name)) {
            const MemIndex* index = engine.tables.mem_indexes.get(name);
            if (index != nullptr && index_in_step(*index, *table))
                out.indexes.push_back({index->name, index->columns, index->positions});
        }
    } else if (const PageStore* store = engine.page_store(); store != nullptr && !engine.file.catalog_stale) {
        const CatalogEntry* entry = store->catalog.get(table_name);
        if (entry == nullptr) return out;
        out.in_page_file = true;
        for (const IndexCatalogEntry& ix : entry->indexes) {
            if (ix.columns.empty() || ix.positions.size() != ix.columns.size()) continue;
            if (std::any_of(ix.positions.begin(), ix.positions.end(), [&](size_t p) { return p >= width; })) continue;
            out.indexes.push_back({ix.name, ix.columns, ix.positions});
        }
    }
    std::sort(out.indexes.begin(), out.indexes.end(),
              [](const Candidate& a, const Candidate& b) { return a.name < b.name; });
    return out;
}

AccessPath path_through(AccessPath::Kind kind, const Candidate& index, bool in_page_file) {
    AccessPath path;
    path.kind = kind;
    path.index = index.name;
    path.columns = index.columns;
    path.in_page_file = in_page_file;
    return path;
}

bool has_window_items(const parser::SelectStatement& s) {
    return s.items && std::any_of(s.items->begin(), s.items->end(), [](const parser::SelectItem& item) {
               return item.kind() == parser::SelectItemKind::Window;
           });
}

std::optional<AccessPath> where_path(const Candidates& candidates, const parser::Expr& where, const BoundTable& from) {
    if (candidates.indexes.empty()) return std::nullopt;
    std::vector<std::pair<size_t, Value>> pairs;
    if (equality_pairs(where, from, pairs) && pairs.size() >= 2) {
        for (const Candidate& index : candidates.indexes) {
            if (index.positions.size() != pairs.size()) continue;
            bool same = true;
            for (size_t i = 0; i < pairs.size() && same; ++i) same = index.positions[i] == pairs[i].first;
            if (!same) continue;
            AccessPath path = path_through(AccessPath::Kind::Composite, index, candidates.in_page_file);
            for (auto& [column, value] : pairs) path.key.push_back(value);
            return path;
        }
    }
    // A range uses single-column indexes only: a composite index leaves out
    // rows with NULL in its later columns, which its first column's range
    // must still return.
    auto range = column_range(where, from);
    if (!range) return std::nullopt;
    for (const Candidate& index : candidates.indexes) {
        if (index.positions.size() != 1 || index.positions.front() != range->column) continue;
        AccessPath path = path_through(AccessPath::Kind::Range, index, candidates.in_page_file);
        path.lower = range->lower;
        path.upper = range->upper;
        return path;
    }
    return std::nullopt;
}

// ORDER BY one indexed column with a LIMIT. The index holds no row with a
// Null key: in memory the walk adds them where the sort puts them (the
// index's id count tells whether there are any); from the page file only a
// scan would find them, so there the path needs a WHERE that rejects them (a
// range on the column) or a NOT NULL column. Ties come out in table order:
// the index orders equal keys by row id there, and in memory each key's
// rows are put in table order.
std::optional<AccessPath> ordered_path(const Engine& engine, const parser::SelectStatement& s,
                                       const BoundTable& from) {
    if (s.order_by->size() != 1 || !s.limit || has_window_items(s)) return std::nullopt;
    const parser::OrderByItem& item = s.order_by->front();
    auto column = own_column(from, item.column);
    if (!column) return std::nullopt;
    Bound lower, upper;
    if (s.where_clause) {
        auto range = column_range(*s.where_clause, from);
        if (!range || range->column != *column) return std::nullopt;
        lower = std::move(range->lower);
        upper = std::move(range->upper);
    }
    const Candidates candidates = candidate_indexes(engine, s.from.name, from.columns.size());
    // The page file's index trees are walked forward only.
    if (candidates.in_page_file && (item.descending || (!s.where_clause && from.columns[*column].nullable)))
        return std::nullopt;
    for (const Candidate& index : candidates.indexes) {
        if (index.positions.size() != 1 || index.positions.front() != *column) continue;
        AccessPath path = path_through(AccessPath::Kind::Range, index, candidates.in_page_file);
        path.lower = lower;
        path.upper = upper;
        path.limit = s.limit;
        path.ordered = true;
        path.descending = item.descending;
        return path;
    }
    return std::nullopt;
}

// Row ids of an index's keys whose first value lies in the range.
void range_row_ids(const MemIndex& index, const Bound& lower, const Bound& upper, std::vector<uint64_t>& out) {
    const IndexKeyMap& map = index.map();
    auto it = lower.kind == Bound::Kind::Unbounded ? map.begin() : map.lower_bound(IndexKey{lower.value});
    for (; it != map.end(); ++it) {
        const Value& k = it->first.front();
        if (!below_upper(k, upper)) break;
        if (!above_lower(k, lower)) continue;
        out.insert(out.end(), it->second.begin(), it->second.end());
    }
}

using Predicate = operators::BoundPredicate;

bool passes(const Predicate* predicate, const Row& row) {
    return predicate == nullptr || predicate->eval(row) == operators::Truth::True;
}

// The first `limit` rows of an ordered path over a loaded table.
void ordered_memory_rows(const Table& table, const MemIndex& index, const AccessPath& path,
                         const Predicate* predicate, uint64_t limit, std::vector<Row>& out) {
    const size_t column = index.positions.front();
    // Without a WHERE the rows with a Null key count too (a range rejects them).
    const bool null_rows = predicate == nullptr && index.id_count() < table.rows.size();
    auto add_null_rows = [&] {
        for (const Row& row : table.rows) {
            if (out.size() >= limit) return;
            if (column < row.size() && row[column].is_null() && passes(predicate, row)) out.push_back(row);
        }
    };
    std::vector<size_t> positions;
    auto add_key_rows = [&](const RowIdList& ids) {
        positions.clear();
        for (uint64_t id : ids) {
            if (auto at = table.position_of_rowid(id)) positions.push_back(*at);
        }
        std::sort(positions.begin(), positions.end());
        positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
        for (size_t at : positions) {
            if (out.size() >= limit) return;
            if (passes(predicate, table.rows[at])) out.push_back(table.rows[at]);
        }
    };
    const IndexKeyMap& map = index.map();
    if (!path.descending) {
        if (null_rows) add_null_rows();
        auto it = path.lower.kind == Bound::Kind::Unbounded ? map.begin() : map.lower_bound(IndexKey{path.lower.value});
        for (; it != map.end() && out.size() < limit; ++it) {
            const Value& k = it->first.front();
            if (!below_upper(k, path.upper)) break;
            if (above_lower(k, path.lower)) add_key_rows(it->second);
        }
        return;
    }
    auto it = path.upper.kind == Bound::Kind::Unbounded ? map.end() : map.upper_bound(IndexKey{path.upper.value});
    while (it != map.begin() && out.size() < limit) {
        --it;
        const Value& k = it->first.front();
        if (!above_lower(k, path.lower)) break;
        if (below_upper(k, path.upper)) add_key_rows(it->second);
    }
    if (null_rows) add_null_rows();
}

Result<std::optional<SeekRows>> memory_seek(const Table& table, const MemIndex& index, const AccessPath& path,
                                            const Predicate* predicate) {
    const uint64_t limit = path.limit.value_or(std::numeric_limits<uint64_t>::max());
    SeekRows out;
    out.ordered = path.ordered;
    if (limit == 0) return std::optional<SeekRows>(std::move(out));
    if (path.ordered) {
        ordered_memory_rows(table, index, path, predicate, limit, out.rows);
        return std::optional<SeekRows>(std::move(out));
    }
    std::vector<uint64_t> ids;
    if (path.kind == AccessPath::Kind::Composite) {
        if (const RowIdList* found = index.find(path.key)) ids = *found;
    } else {
        range_row_ids(index, path.lower, path.upper, ids);
    }
    // Table order, as a scan reads them; each row once.
    std::vector<size_t> positions;
    positions.reserve(ids.size());
    for (uint64_t id : ids) {
        if (auto at = table.position_of_rowid(id)) positions.push_back(*at);
    }
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    for (size_t at : positions) {
        if (out.rows.size() >= limit) break;
        if (passes(predicate, table.rows[at])) out.rows.push_back(table.rows[at]);
    }
    return std::optional<SeekRows>(std::move(out));
}

Result<std::optional<SeekRows>> seek_path(const Engine& engine, const std::string& table_name, const AccessPath& path,
                                          const parser::Expr* where, std::span<const BoundTable> tables) {
    std::optional<Predicate> predicate;
    if (where != nullptr) {
        auto bound = bind_predicate(*where, tables);
        if (!bound) return fail(bound.error());
        predicate = std::move(*bound);
    }
    const Predicate* test = predicate ? &*predicate : nullptr;
    if (path.in_page_file) {
        PageStore* store = engine.page_store();
        if (store == nullptr || engine.tables.find(table_name) != nullptr) return std::optional<SeekRows>();
        return page_seek_rows(*store, table_name, path, [test](const Row& row) { return passes(test, row); });
    }
    const Table* table = engine.tables.find(table_name);
    const MemIndex* index = engine.tables.mem_indexes.get(path.index);
    if (table == nullptr || index == nullptr || index->table != table_name || index->positions.empty())
        return std::optional<SeekRows>();
    return memory_seek(*table, *index, path, test);
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

std::optional<AccessPath> plan_access_path(const Engine& engine, const parser::SelectStatement& s,
                                           const BoundTable& from) {
    if (!s.joins.empty() || s.group_by) return std::nullopt;
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
    auto path = plan_access_path(engine, s, from);
    if (!path || path->in_page_file || path->ordered) return std::optional<Rows>();
    auto project = [&](const Row& row) {
        Row out;
        out.reserve(projection->projection.size());
        for (int64_t slot : projection->projection) {
            if (slot < 0 || static_cast<size_t>(slot) >= row.size()) invariant_failed("projection position outside the row");
            out.push_back(row[static_cast<size_t>(slot)]);
        }
        return out;
    };
    // One value of a single-column index: its row ids through find_one (a
    // run of such lookups goes through the index's hash view).
    const MemIndex* index = engine.tables.mem_indexes.get(path->index);
    if (index != nullptr && index->positions.size() == 1 && path->kind == AccessPath::Kind::Range &&
        path->lower.kind == Bound::Kind::Included && path->upper.kind == Bound::Kind::Included &&
        Value::key_cmp(path->lower.value, path->upper.value) == 0) {
        auto predicate = bind_predicate(*s.where_clause, std::span<const BoundTable>(&from, 1));
        if (!predicate) return fail(predicate.error());
        std::vector<size_t> positions;
        if (const RowIdList* ids = index->find_one(path->lower.value)) {
            for (uint64_t id : *ids)
                if (auto at = table->position_of_rowid(id)) positions.push_back(*at);
        }
        // Table order, as a scan reads them.
        std::sort(positions.begin(), positions.end());
        positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
        Rows result{std::move(projection->columns), {}};
        for (size_t at : positions) {
            if (s.limit && result.rows.size() >= *s.limit) break;
            const Row& row = table->rows[at];
            if (predicate->eval(row) == operators::Truth::True) result.rows.push_back(project(row));
        }
        return std::optional<Rows>(std::move(result));
    }
    auto seek = seek_rows(engine, s.from.name, *path, *s.where_clause, std::span<const BoundTable>(&from, 1));
    if (!seek) return fail(seek.error());
    if (!*seek) return std::optional<Rows>();
    std::vector<Row>& rows = (*seek)->rows;
    if (s.limit && rows.size() > *s.limit) rows.resize(static_cast<size_t>(*s.limit));
    Rows result{std::move(projection->columns), {}};
    result.rows.reserve(rows.size());
    for (const Row& row : rows) result.rows.push_back(project(row));
    return std::optional<Rows>(std::move(result));
}

Result<std::optional<SeekRows>> try_index_seek(Engine& engine, const parser::SelectStatement& s,
                                               std::span<const BoundTable> tables) {
    if (tables.size() != 1) return std::optional<SeekRows>();
    auto path = plan_access_path(engine, s, tables.front());
    if (!path) return std::optional<SeekRows>();
    return seek_path(engine, s.from.name, *path, s.where_clause ? &*s.where_clause : nullptr, tables);
}

Result<std::optional<SeekRows>> seek_rows(const Engine& engine, const std::string& table_name, const AccessPath& path,
                                          const parser::Expr& where, std::span<const BoundTable> tables) {
    return seek_path(engine, table_name, path, &where, tables);
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
