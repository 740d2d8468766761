#include "executor/pipeline.h"

#include <algorithm>

#include "executor/condition_eval.h"
#include "operators/basic.h"
#include "operators/hash_aggregate.h"
#include "operators/window.h"
#include "sort_spill/external_sort.h"
#include "types/text_format.h"

namespace zembrel::executor {

namespace {

using operators::OperatorPtr;

// Advance sizing of the output for a LIMIT, bounded so that a huge LIMIT
// over few rows costs nothing.
constexpr uint64_t kMaxReserve = 1 << 16;

OperatorPtr sorted(OperatorPtr child, std::vector<operators::SortKey> keys, uint64_t sort_budget,
                   std::optional<uint64_t> limit) {
    return std::make_unique<sort_spill::ExternalSort>(std::move(child), std::move(keys), sort_budget, limit);
}

// The rows go to the sink, lent, when there is one: nothing is copied.
Status drain_into(operators::Operator& top, std::vector<Row>& out, RowSink* sink) {
    for (;;) {
        auto got = top.next();
        if (!got) return fail(got.error());
        if (!*got) return {};
        if (sink != nullptr) sink->row(*got);
        else out.push_back(top.take(*got));
    }
}

Row project_row(RowView in, const std::vector<int64_t>& projection) {
    Row out;
    out.reserve(projection.size());
    for (int64_t slot : projection) {
        if (slot < 0) {
            out.emplace_back();
            continue;
        }
        if (static_cast<uint64_t>(slot) >= in.size()) invariant_failed("projection position outside the row");
        out.push_back(in[static_cast<size_t>(slot)]);
    }
    return out;
}

}  // namespace

Result<std::vector<operators::SortKey>> build_sort_keys(const std::vector<parser::OrderByItem>& order_by,
                                                        std::span<const BoundTable> bindings) {
    std::vector<operators::SortKey> keys;
    keys.reserve(order_by.size());
    for (const parser::OrderByItem& item : order_by) {
        auto p = resolve_column(bindings, item.column);
        if (!p) return fail(p.error());
        keys.push_back({*p, !item.descending});
    }
    return keys;
}

Result<std::vector<operators::SortKey>> output_sort_keys(const std::vector<parser::OrderByItem>& order_by,
                                                         const std::vector<std::string>& columns) {
    std::vector<operators::SortKey> keys;
    keys.reserve(order_by.size());
    for (const parser::OrderByItem& item : order_by) {
        auto at = std::find(columns.begin(), columns.end(), item.column.column);
        if (at == columns.end())
            return execution_error(format("ORDER BY column '{}' not in SELECT output", item.column.column));
        keys.push_back({static_cast<size_t>(at - columns.begin()), !item.descending});
    }
    return keys;
}

Result<PipelineOutput> build_pipeline(OperatorPtr child, std::span<const BoundTable> bindings,
                                      const parser::Expr* where, const std::vector<parser::OrderByItem>* order_by,
                                      std::optional<uint64_t> limit, OutputPlan plan, uint64_t sort_budget,
                                      RowSink* sink) {
    PipelineOutput out;
    out.columns = plan.columns;
    if (limit && *limit == 0) return out;

    if (where != nullptr && !contains_subquery(*where)) {
        auto predicate = bind_predicate(*where, bindings);
        if (!predicate) return fail(predicate.error());
        child = std::make_unique<operators::Filter>(std::move(child), operators::RowPredicate(std::move(*predicate)));
    }
    if (limit) out.rows.reserve(std::min<uint64_t>(*limit, kMaxReserve));

    if (plan.kind == OutputPlan::Kind::Aggregate) {
        OperatorPtr top = std::make_unique<operators::HashAggregate>(
            std::move(child), std::move(plan.group_positions), std::move(plan.aggregates), std::move(plan.outputs));
        if (order_by != nullptr) {
            auto keys = output_sort_keys(*order_by, out.columns);
            if (!keys) return fail(keys.error());
            top = sorted(std::move(top), std::move(*keys), sort_budget, limit);
        }
        if (limit) top = std::make_unique<operators::Limit>(std::move(top), *limit);
        if (auto st = drain_into(*top, out.rows, sink); !st) return fail(st.error());
        return out;
    }

    if (!plan.windows.empty()) {
        // Windows see every input row at once: keep the rows in place when
        // the source lends them for good, else keep them (images of a
        // join's values, which stay with the child, or copies).
        std::vector<Row> owned;
        std::vector<RowView> input;
        const bool borrow = child->rows_stay_valid();
        const bool copies = !borrow && !child->values_stay_valid();
        for (;;) {
            auto got = child->next();
            if (!got) return fail(got.error());
            if (!*got) break;
            if (borrow) {
                input.push_back(*got);
            } else {
                owned.push_back(operators::keep_row(*child, *got));
            }
        }
        if (!borrow) {
            input.reserve(owned.size());
            for (const Row& r : owned) input.push_back(r);
        }
        out.rows.reserve(input.size());
        for (const RowView r : input) out.rows.push_back(project_row(r, plan.projection));
        operators::evaluate_windows(plan.windows, input, out.rows);
        if (!plan.subqueries.empty()) {
            // The subqueries read them after the child is gone: copies.
            if (!copies) {
                std::vector<Row> copied;
                copied.reserve(input.size());
                for (const RowView r : input) copied.push_back(r.to_row());
                owned = std::move(copied);
            }
            out.source_rows = std::move(owned);
        }
        return out;
    }

    OperatorPtr top = std::move(child);
    if (order_by != nullptr) {
        auto keys = build_sort_keys(*order_by, bindings);
        if (!keys) return fail(keys.error());
        top = sorted(std::move(top), std::move(*keys), sort_budget, limit);
    }
    if (limit) top = std::make_unique<operators::Limit>(std::move(top), *limit);

    const bool fills_later = std::any_of(plan.projection.begin(), plan.projection.end(), [](int64_t s) { return s < 0; });
    if (plan.subqueries.empty() && !fills_later) {
        std::vector<size_t> positions(plan.projection.begin(), plan.projection.end());
        top = std::make_unique<operators::Project>(std::move(top), std::move(positions));
        if (auto st = drain_into(*top, out.rows, sink); !st) return fail(st.error());
        return out;
    }
    std::vector<Row> sources;
    for (;;) {
        auto got = top->next();
        if (!got) return fail(got.error());
        if (!*got) break;
        out.rows.push_back(project_row(*got, plan.projection));
        sources.push_back(top->take(*got));
    }
    out.source_rows = std::move(sources);
    return out;
}

}  // namespace zembrel::executor
