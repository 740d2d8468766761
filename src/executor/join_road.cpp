#include "executor/join_road.h"

#include <algorithm>

#include "operators/basic.h"
#include "operators/join.h"

namespace zembrel::executor {

namespace {

operators::JoinType join_type(parser::JoinKind kind) {
    switch (kind) {
        case parser::JoinKind::Inner: return operators::JoinType::Inner;
        case parser::JoinKind::Left: return operators::JoinType::Left;
        case parser::JoinKind::Right: return operators::JoinType::Right;
    }
    return operators::JoinType::Inner;
}

}  // namespace

JoinChoice choose_join(const Engine& engine, const operators::BoundPredicate& on, size_t left_width) {
    if (engine.settings.force_nested_join) return {};
    auto keys = equi_join_keys(on, left_width);
    if (!keys) return {};
    return JoinChoice{true, std::move(keys->first), std::move(keys->second)};
}

Result<bool> where_pushes_down(const parser::SelectStatement& s, std::span<const BoundTable> tables,
                               const OuterContext* outer) {
    if (outer != nullptr || !s.where_clause) return false;
    const bool inner_or_left = std::all_of(s.joins.begin(), s.joins.end(), [](const parser::Join& j) {
        return j.kind == parser::JoinKind::Inner || j.kind == parser::JoinKind::Left;
    });
    if (!inner_or_left) return false;
    return where_fits_left_table(*s.where_clause, tables, tables.front().columns.size());
}

Result<JoinSource> build_join_source(Engine& engine, const parser::SelectStatement& s,
                                     std::span<const BoundTable> tables, const OuterContext* outer) {
    if (tables.size() != s.joins.size() + 1) invariant_failed("one bound table per FROM and JOIN table");
    auto from_rows = table_rows_snapshot(engine, s.from.name);
    if (!from_rows) return fail(from_rows.error());
    operators::OperatorPtr source = std::make_unique<operators::TableScan>(std::move(*from_rows));

    JoinSource out;
    out.residual_where = s.where_clause ? &*s.where_clause : nullptr;
    auto push = where_pushes_down(s, tables, outer);
    if (!push) return fail(push.error());
    if (*push) {
        auto predicate = bind_predicate(*s.where_clause, tables.first(1));
        if (!predicate) return fail(predicate.error());
        source = std::make_unique<operators::Filter>(std::move(source), operators::RowPredicate(std::move(*predicate)));
        out.residual_where = nullptr;
    }

    for (size_t i = 0; i < s.joins.size(); ++i) {
        const BoundTable& right = tables[i + 1];
        const size_t left_width = right.offset;
        const size_t right_width = right.columns.size();
        auto right_rows = table_rows_snapshot(engine, s.joins[i].table.name);
        if (!right_rows) return fail(right_rows.error());
        auto on = bind_predicate(s.joins[i].on, tables.first(i + 2));
        if (!on) return fail(on.error());
        const auto type = join_type(s.joins[i].kind);
        JoinChoice choice = choose_join(engine, *on, left_width);
        if (choice.hash) {
            source = std::make_unique<operators::HashJoin>(std::move(source), std::move(*right_rows),
                                                           std::move(choice.left_keys), std::move(choice.right_keys),
                                                           left_width, right_width, type);
        } else {
            source = std::make_unique<operators::NestedLoopJoin>(std::move(source), std::move(*right_rows),
                                                                 operators::RowPredicate(std::move(*on)), left_width,
                                                                 right_width, type);
        }
    }
    out.source = std::move(source);
    return out;
}

}  // namespace zembrel::executor
