#include "executor/where_filter.h"

#include <algorithm>
#include <numeric>
#include <span>

#include "executor/conditions.h"
#include "executor/select_binding.h"

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
    if (const BoundPredicate* eq = indexed_equality(predicate, table)) {
        if (auto ids = ids_from_index(tables, table, *eq)) {
            for (uint64_t id : *ids) {
                auto at = tables.position_of_rowid(table.name, id);
                // The whole condition decides; the index only narrows.
                if (at && predicate.eval(table.rows[*at]) == Truth::True) out.push_back(*at);
            }
            std::sort(out.begin(), out.end());
            out.erase(std::unique(out.begin(), out.end()), out.end());
            return out;
        }
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
