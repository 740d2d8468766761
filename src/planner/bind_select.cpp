#include "planner/bind_select.h"

#include <algorithm>

#include "types/text_format.h"

namespace zembrel::planner {

std::vector<BoundTable> combine_tables(std::span<const BoundTable> outer, std::span<const BoundTable> own) {
    std::vector<BoundTable> all(outer.begin(), outer.end());
    const uint64_t width = joined_width(outer);
    for (const BoundTable& t : own) {
        all.push_back(t);
        all.back().offset += width;
    }
    return all;
}

Result<BoundSelect> bind_select(Engine& engine, const parser::SelectStatement& s, const OuterContext* outer) {
    auto tables = bind_tables(engine, s.from, s.joins);
    if (!tables) return fail(tables.error());
    auto scope_of = [&](size_t own_count) {
        std::span<const BoundTable> own = std::span<const BoundTable>(*tables).first(own_count);
        return outer != nullptr ? combine_tables(outer->tables, own) : std::vector<BoundTable>(own.begin(), own.end());
    };
    for (size_t i = 0; i < s.joins.size(); ++i) {
        if (auto st = check_columns(s.joins[i].on, scope_of(i + 2)); !st) return fail(st.error());
    }
    auto plan = plan_select_list(*tables, s.items, s.group_by);
    if (!plan) return fail(plan.error());
    const std::vector<BoundTable> full = scope_of(tables->size());
    if (s.where_clause) {
        if (auto st = check_columns(*s.where_clause, full); !st) return fail(st.error());
    }
    if (s.group_by) {
        for (const parser::ColumnRef& ref : *s.group_by) {
            if (auto p = resolve_column(full, ref); !p) return fail(p.error());
        }
    }
    if (s.order_by) {
        for (const parser::OrderByItem& item : *s.order_by) {
            if (plan->kind == OutputPlan::Kind::Plain) {
                if (auto p = resolve_column(full, item.column); !p) return fail(p.error());
            } else if (std::find(plan->columns.begin(), plan->columns.end(), item.column.column) == plan->columns.end()) {
                return execution_error(format("ORDER BY column '{}' not in SELECT output", item.column.column));
            }
        }
    }
    return BoundSelect{std::move(*tables), std::move(*plan)};
}

}  // namespace zembrel::planner
