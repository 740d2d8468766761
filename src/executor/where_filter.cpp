#include "executor/where_filter.h"

#include <algorithm>
#include <numeric>
#include <span>

#include "executor/condition_eval.h"
#include "executor/index_seek.h"

namespace zembrel::executor {

namespace {

using operators::BoundPredicate;
using operators::CompareCode;
using operators::Truth;

BoundTable scope_of(const Table& table) { return BoundTable{table.name, table.columns, std::nullopt, 0}; }

// Whether equality under the index's key order agrees with the condition's
// (sql_cmp) for this column type and literal: then the index finds exactly
// the rows the comparison would pass.
bool key_order_agrees(DataTypeKind column, ValueKind literal) {
    switch (column) {
        case DataTypeKind::Pk: return literal == ValueKind::Text || literal == ValueKind::Uuid;
        case DataTypeKind::Text:
        case DataTypeKind::Str: return literal == ValueKind::Text;
        case DataTypeKind::Int: return literal == ValueKind::Int;
        case DataTypeKind::Bool: return literal == ValueKind::Bool;
        default: return false;
    }
}

// A column = literal conjunct of the condition that an index can answer.
const BoundPredicate* indexed_equality(const BoundPredicate& p, const Table& table) {
    if (p.kind() == BoundPredicate::Kind::And) {
        if (const BoundPredicate* left = indexed_equality(*p.first(), table)) return left;
        return indexed_equality(*p.second(), table);
    }
    if (p.kind() != BoundPredicate::Kind::Compare || p.op() != CompareCode::Eq || !p.literal()) return nullptr;
    if (p.left_position() >= table.columns.size()) return nullptr;
    if (!key_order_agrees(table.columns[p.left_position()].data_type.kind, p.literal()->kind())) return nullptr;
    return &p;
}

// Row ids of the rows an index holds under the literal, or none when no
// index covers the column.
std::optional<std::vector<uint64_t>> ids_from_index(const LoadedTables& tables, const Table& table,
                                                    const BoundPredicate& eq) {
    const size_t column = eq.left_position();
    const Value& literal = *eq.literal();
    if (auto pk = tables.pk_indexes.find(table.name); pk != tables.pk_indexes.end() && pk->second.pk_column == column) {
        std::vector<uint64_t> ids;
        if (auto id = pk->second.tree.find(literal)) ids.push_back(*id);
        return ids;
    }
    for (const auto& [name, index] : tables.mem_indexes) {
        if (index.table != table.name || index.positions.size() != 1 || index.positions[0] != column) continue;
        const RowIdList* ids = index.find(IndexKey{literal});
        return ids ? std::vector<uint64_t>(ids->begin(), ids->end()) : std::vector<uint64_t>();
    }
    return std::nullopt;
}

// A comparison of a column with a literal that bounds a range of the
// column's keys in the order the comparison itself follows (a Pk column is
// left to equality: its values and a text literal are of other kinds).
bool range_conjunct(const BoundPredicate& p, const Table& table) {
    if (p.kind() != BoundPredicate::Kind::Compare || !p.literal() || p.op() == CompareCode::Ne) return false;
    if (p.left_position() >= table.columns.size()) return false;
    const DataTypeKind column = table.columns[p.left_position()].data_type.kind;
    return column != DataTypeKind::Pk && key_order_agrees(column, p.literal()->kind());
}

// The range conjuncts of an AND tree, left to right.
void range_conjuncts(const BoundPredicate& p, const Table& table, std::vector<const BoundPredicate*>& out) {
    if (p.kind() == BoundPredicate::Kind::And) {
        range_conjuncts(*p.first(), table, out);
        range_conjuncts(*p.second(), table, out);
    } else if (range_conjunct(p, table)) {
        out.push_back(&p);
    }
}

// The ends of one column's range: every conjunct on the column narrows it.
std::pair<Bound, Bound> column_bounds(std::span<const BoundPredicate* const> conjuncts, size_t column) {
    using K = Bound::Kind;
    Bound lower, upper;
    auto narrow = [](Bound& end, K kind, const Value& value, bool is_lower) {
        if (end.kind != K::Unbounded) {
            const auto c = Value::key_cmp(value, end.value);
            if (c == 0 ? kind != K::Excluded : (is_lower ? c < 0 : c > 0)) return;
        }
        end = Bound{kind, value};
    };
    for (const BoundPredicate* p : conjuncts) {
        if (p->left_position() != column) continue;
        const Value& v = *p->literal();
        switch (p->op()) {
            case CompareCode::Eq:
                narrow(lower, K::Included, v, true);
                narrow(upper, K::Included, v, false);
                break;
            case CompareCode::Lt: narrow(upper, K::Excluded, v, false); break;
            case CompareCode::Le: narrow(upper, K::Included, v, false); break;
            case CompareCode::Gt: narrow(lower, K::Excluded, v, true); break;
            case CompareCode::Ge: narrow(lower, K::Included, v, true); break;
            case CompareCode::Ne: break;
        }
    }
    return {std::move(lower), std::move(upper)};
}

// Row ids under the keys of a range of a single-column index in step with
// the table, for the first range conjunct whose column has one; none when
// no such index exists.
std::optional<std::vector<uint64_t>> ids_from_range(const LoadedTables& tables, const Table& table,
                                                    const BoundPredicate& predicate) {
    std::vector<const BoundPredicate*> conjuncts;
    range_conjuncts(predicate, table, conjuncts);
    for (const BoundPredicate* first : conjuncts) {
        const size_t column = first->left_position();
        for (const auto& [name, index] : tables.mem_indexes) {
            if (index.table != table.name || index.positions.size() != 1 || index.positions[0] != column) continue;
            if (!index_in_step(index, table)) continue;
            const auto [lower, upper] = column_bounds(conjuncts, column);
            std::vector<uint64_t> ids;
            const IndexKeyMap& map = index.map();
            auto it = lower.kind == Bound::Kind::Unbounded ? map.begin() : map.lower_bound(IndexKey{lower.value});
            for (; it != map.end(); ++it) {
                const Value& k = it->first.front();
                if (!below_upper(k, upper)) break;
                if (above_lower(k, lower)) ids.insert(ids.end(), it->second.begin(), it->second.end());
            }
            return ids;
        }
    }
    return std::nullopt;
}

}  // namespace

struct RowFilter::Bound {
    BoundPredicate predicate;
};

RowFilter::RowFilter(std::unique_ptr<Bound> bound) : bound_(std::move(bound)) {}
RowFilter::RowFilter(RowFilter&&) noexcept = default;
RowFilter& RowFilter::operator=(RowFilter&&) noexcept = default;
RowFilter::~RowFilter() = default;

std::vector<size_t> RowFilter::matching(const LoadedTables& tables, const Table& table) const {
    const BoundPredicate& predicate = bound_->predicate;
    std::vector<size_t> out;
    std::optional<std::vector<uint64_t>> ids;
    if (const BoundPredicate* eq = indexed_equality(predicate, table)) ids = ids_from_index(tables, table, *eq);
    if (!ids) ids = ids_from_range(tables, table, predicate);
    if (ids) {
        // In table order, which reads the rows along memory.
        std::vector<size_t> candidates;
        candidates.reserve(ids->size());
        for (uint64_t id : *ids)
            if (auto at = table.position_of_rowid(id)) candidates.push_back(*at);
        std::sort(candidates.begin(), candidates.end());
        candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
        // The whole condition decides; the index only narrows.
        for (size_t at : candidates)
            if (predicate.eval(table.rows[at]) == Truth::True) out.push_back(at);
        return out;
    }
    for (size_t i = 0; i < table.rows.size(); ++i)
        if (predicate.eval(table.rows[i]) == Truth::True) out.push_back(i);
    return out;
}

Status check_where(const Table& table, parser::Expr& condition) {
    const BoundTable scope = scope_of(table);
    const std::span<const BoundTable> tables(&scope, 1);
    if (auto st = check_columns(condition, tables); !st) return st;
    return hash_condition_literals(condition, tables);
}

Result<RowFilter> bind_where(const Table& table, const parser::Expr& condition) {
    const BoundTable scope = scope_of(table);
    auto predicate = bind_predicate(condition, std::span<const BoundTable>(&scope, 1));
    if (!predicate) return fail(predicate.error());
    return RowFilter(std::make_unique<RowFilter::Bound>(RowFilter::Bound{std::move(*predicate)}));
}

std::vector<size_t> all_positions(const Table& table) {
    std::vector<size_t> out(table.rows.size());
    std::iota(out.begin(), out.end(), size_t{0});
    return out;
}

}  // namespace zembrel::executor
