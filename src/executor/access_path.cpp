#include "executor/access_path.h"

#include <algorithm>

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

// The position of the row with this row id. Row ids ascend along a table's
// rows; the linear walk is only a safety net.
std::optional<size_t> row_position(const Table& table, uint64_t rowid) {
    auto it = std::lower_bound(table.rowids.begin(), table.rowids.end(), rowid);
    if (it == table.rowids.end() || *it != rowid) it = std::find(table.rowids.begin(), table.rowids.end(), rowid);
    if (it == table.rowids.end()) return std::nullopt;
    const auto at = static_cast<size_t>(it - table.rowids.begin());
    if (at >= table.rows.size()) return std::nullopt;
    return at;
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
    const BoundTable bound{s.from.name, table->columns, s.from.alias, 0};
    const std::span<const BoundTable> scope(&bound, 1);
    auto position = resolve_column(scope, eq->left);
    if (!position || *position != pk->second.pk_column) return std::optional<Rows>();

    auto plan = plan_select_list(scope, s.items, std::nullopt);
    if (!plan) return fail(plan.error());
    Rows result{std::move(plan->columns), {}};
    if (s.limit && *s.limit == 0) return std::optional<Rows>(std::move(result));
    auto rowid = pk->second.tree.find(std::get<Value>(eq->right.node));
    if (!rowid) return std::optional<Rows>(std::move(result));
    auto at = row_position(*table, *rowid);
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

Result<std::optional<SeekRows>> try_index_seek(Engine&, const parser::SelectStatement&, std::span<const BoundTable>) {
    // No secondary-index seek yet: every one-table SELECT scans.
    return std::optional<SeekRows>();
}

}  // namespace zembrel::executor
