#include "planner/access_path.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "planner/table_source.h"

namespace zembrel::planner {

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

AccessPath path_through(AccessPath::Kind kind, const SourceIndex& index) {
    AccessPath path;
    path.kind = kind;
    path.index = *index.name;
    path.columns = *index.columns;
    path.in_page_file = index.mem == nullptr;
    return path;
}

// The path of a range: one value of the Pk column through the primary-key
// tree, else a single-column index on the column. A range uses
// single-column indexes only: a composite index leaves out rows with NULL in
// its later columns, which its first column's range must still return. The
// page file has no primary-key tree: there an index on the Pk column reads
// less than the RowCache the Pk lookup keys, so it goes first.
std::optional<AccessPath> range_path(const TableSource& source, const ColumnRange& range, const BoundTable& from) {
    using K = Bound::Kind;
    const bool pk_point = source.pk_column == range.column && range.lower.kind == K::Included &&
                          range.upper.kind == K::Included &&
                          Value::key_cmp(range.lower.value, range.upper.value) == 0;
    auto through_pk = [&] {
        AccessPath path;
        path.kind = AccessPath::Kind::PrimaryKey;
        path.columns = {from.columns[range.column].name};
        path.lower = range.lower;
        path.upper = range.upper;
        path.in_page_file = source.in_page_file();
        return path;
    };
    if (pk_point && !source.in_page_file()) return through_pk();
    for (const SourceIndex& index : source.indexes) {
        if (index.positions->size() != 1 || index.positions->front() != range.column) continue;
        AccessPath path = path_through(AccessPath::Kind::Range, index);
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

std::optional<AccessPath> where_path(const TableSource& source, const parser::Expr& where, const BoundTable& from) {
    if (source.indexes.empty() && !source.pk_column) return std::nullopt;
    std::vector<std::pair<size_t, Value>> pairs;
    if (equality_pairs(where, from, pairs) && pairs.size() >= 2) {
        for (const SourceIndex& index : source.indexes) {
            if (index.positions->size() != pairs.size()) continue;
            bool same = true;
            for (size_t i = 0; i < pairs.size() && same; ++i) same = (*index.positions)[i] == pairs[i].first;
            if (!same) continue;
            AccessPath path = path_through(AccessPath::Kind::Composite, index);
            for (auto& [column, value] : pairs) path.key.push_back(value);
            return path;
        }
    }
    auto range = column_range(where, from);
    if (!range) return std::nullopt;
    return range_path(source, *range, from);
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
    auto path = range_path(table_source(engine, s.from.name), range, from);
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
    return where_path(table_source(engine, table_name), where, from);
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


}  // namespace zembrel::planner
