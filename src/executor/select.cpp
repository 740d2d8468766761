#include "executor/select.h"

#include <algorithm>

#include "executor/condition_eval.h"
#include "executor/index_seek.h"
#include "planner/explain.h"
#include "executor/join_road.h"
#include "executor/pipeline.h"
#include "executor/subquery.h"
#include "operators/basic.h"
#include "types/stable_sort.h"
#include "types/text_format.h"

namespace zembrel::executor {

namespace {

using operators::OperatorPtr;

bool is_simple_select_list(const parser::SelectStatement& s) {
    if (!s.items) return true;
    return std::all_of(s.items->begin(), s.items->end(),
                       [](const parser::SelectItem& item) { return item.kind() == parser::SelectItemKind::Column; });
}

Rows rows_of(PipelineOutput out) { return Rows{std::move(out.columns), std::move(out.rows)}; }

}  // namespace

OperatorPtr rows_source(std::vector<Row> rows) {
    return std::make_unique<operators::TableScan>(operators::own_rows(std::move(rows)));
}

Result<OperatorPtr> open_table_scan(Engine& engine, const std::string& table, bool has_order_by, bool has_limit) {
    // Rows already in memory (loaded or cached) are scanned in place; the
    // snapshot reads them so.
    const bool in_memory = engine.tables.find(table) != nullptr || engine.tables.row_cache.find(table) != engine.tables.row_cache.end();
    if (in_memory || has_order_by || !has_limit) {
        auto rows = table_rows_snapshot(engine, table);
        if (!rows) return fail(rows.error());
        return OperatorPtr(std::make_unique<operators::TableScan>(std::move(*rows)));
    }
    auto store = engine.ensure_page_store();
    if (!store) return fail(store.error());
    const CatalogEntry* entry = (*store)->catalog.get(table);
    if (entry == nullptr) return execution_error(format("table '{}' not found", table));
    const size_t width = entry->columns.size();
    auto cursor = TableCursor::open(**store, table);
    if (!cursor) return fail(cursor.error());
    auto shared = std::make_shared<TableCursor>(std::move(*cursor));
    return OperatorPtr(std::make_unique<operators::RowIterSource>(
        [shared, width, table]() -> Result<std::optional<Row>> {
            auto next = shared->next_row();
            if (!next) return fail(next.error());
            if (!*next) return std::optional<Row>();
            if (auto st = check_stored_row((*next)->first, (*next)->second, width, table); !st)
                return fail(st.error());
            return std::optional<Row>(std::move((*next)->second));
        }));
}

Result<Rows> run_select(Engine& engine, OperatorPtr source, std::span<const BoundTable> tables,
                        const parser::Expr* where, const std::vector<parser::OrderByItem>* order_by,
                        std::optional<uint64_t> limit, OutputPlan plan, const OuterContext* outer,
                        uint64_t sort_budget) {
    const auto subqueries = plan.subqueries;
    const bool windows = !plan.windows.empty();

    if (where != nullptr && (outer != nullptr || contains_subquery(*where))) {
        std::vector<BoundTable> scope;
        if (outer != nullptr) scope = combine_tables(outer->tables, tables);
        const std::span<const BoundTable> eval_tables = outer != nullptr ? std::span<const BoundTable>(scope) : tables;
        std::vector<Row> kept;
        for (;;) {
            auto got = source->next();
            if (!got) return fail(got.error());
            if (!*got) break;
            const ChainedRow row = outer != nullptr ? ChainedRow(*outer->row, *got) : ChainedRow(*got);
            auto truth = eval_condition(engine, eval_tables, row, *where);
            if (!truth) return fail(truth.error());
            if (*truth == operators::Truth::True) kept.push_back(operators::keep_row(*source, *got));
        }
        // The kept rows may be images of the source's values: it goes with them.
        source = std::make_unique<operators::TableScan>(operators::kept_rows(std::move(source), std::move(kept)));
        where = nullptr;
    }

    auto out = build_pipeline(std::move(source), tables, where, windows ? nullptr : order_by,
                              windows ? std::nullopt : limit, std::move(plan), sort_budget);
    if (!out) return fail(out.error());

    if (!subqueries.empty() && out->source_rows) {
        const size_t n = std::min(out->rows.size(), out->source_rows->size());
        for (size_t i = 0; i < n; ++i) {
            const ChainedRow input((*out->source_rows)[i]);
            for (const auto& [slot, sub] : subqueries) {
                auto rows = run_subquery(engine, *sub, OuterContext{tables, &input});
                if (!rows) return fail(rows.error());
                auto value = scalar_value(std::move(*rows));
                if (!value) return fail(value.error());
                out->rows[i][slot] = std::move(*value);
            }
        }
    }

    if (windows) {
        if (order_by != nullptr) {
            auto keys = output_sort_keys(*order_by, out->columns);
            if (!keys) return fail(keys.error());
            operators::RowComparator cmp(std::move(*keys));
            stable_merge_sort(out->rows, [&cmp](const Row& a, const Row& b) { return cmp.less(a, b); });
        }
        if (limit && out->rows.size() > *limit) out->rows.resize(*limit);
    }
    return rows_of(std::move(*out));
}

Result<Rows> execute_select(Engine& engine, const parser::SelectStatement& s, const OuterContext* outer,
                            RowSink* sink) {
    const uint64_t sort_budget = engine.settings.sort_budget;
    auto bound = bind_select(engine, s, outer);
    if (!bound) return fail(bound.error());
    const std::vector<BoundTable>& tables = bound->tables;
    const parser::Expr* where = s.where_clause ? &*s.where_clause : nullptr;
    const std::vector<parser::OrderByItem>* order_by = s.order_by ? &*s.order_by : nullptr;

    if (!s.joins.empty()) {
        auto joined = build_join_source(engine, s, tables, bound->plan, outer);
        if (!joined) return fail(joined.error());
        return run_select(engine, std::move(joined->source), tables, joined->residual_where, order_by, s.limit,
                          std::move(bound->plan), outer, sort_budget);
    }

    // Inside a subquery a WHERE that names outer columns is no index's to
    // answer: it is read like a scan, in table order, with the outer row's
    // values standing in as literals where that lets an index narrow it.
    std::vector<BoundTable> scope;  // the outer tables, then the own one
    if (outer != nullptr && where != nullptr) scope = combine_tables(outer->tables, tables);
    const bool correlated = !scope.empty() && names_outer_column(*where, scope, joined_width(outer->tables));
    const bool aggregates = bound->plan.kind == OutputPlan::Kind::Aggregate || s.group_by.has_value();
    if (!correlated) {
        auto seek = try_index_seek(engine, s, tables, aggregates);
        if (!seek) return fail(seek.error());
        if (*seek) {
            const bool ordered = (*seek)->path.ordered;
            return run_select(engine, rows_source(std::move((*seek)->rows)), tables, nullptr,
                              ordered ? nullptr : order_by, ordered ? std::nullopt : s.limit, std::move(bound->plan),
                              outer, sort_budget);
        }
    }
    if (correlated && bound->plan.kind == OutputPlan::Kind::Plain && !s.group_by && outer->row != nullptr) {
        auto own_where = with_outer_values(*where, scope, joined_width(outer->tables), *outer->row);
        if (own_where) {
            if (auto path = plan_where_access_path(engine, s.from.name, *own_where, tables.front())) {
                auto seek = seek_rows(engine, s.from.name, *path, *own_where, tables, SeekOrder::Table);
                if (!seek) return fail(seek.error());
                if (*seek)
                    return run_select(engine, rows_source(std::move(**seek)), tables, nullptr, order_by, s.limit,
                                      std::move(bound->plan), outer, sort_budget);
            }
        }
    }

    const bool direct = (where == nullptr || !contains_subquery(*where)) && outer == nullptr &&
                        (bound->plan.kind == OutputPlan::Kind::Aggregate ||
                         (bound->plan.subqueries.empty() && bound->plan.windows.empty()));
    if (direct) {
        auto source = open_table_scan(engine, s.from.name, order_by != nullptr, s.limit.has_value());
        if (!source) return fail(source.error());
        auto out = build_pipeline(std::move(*source), tables, where, order_by, s.limit, std::move(bound->plan),
                                  sort_budget, sink);
        if (!out) return fail(out.error());
        return rows_of(std::move(*out));
    }
    auto rows = table_rows_snapshot(engine, s.from.name);
    if (!rows) return fail(rows.error());
    return run_select(engine, std::make_unique<operators::TableScan>(std::move(*rows)), tables, where, order_by,
                      s.limit, std::move(bound->plan), outer, sort_budget);
}

Result<ExecResult> explain_statement(Engine& engine, parser::Explain statement) {
    if (auto st = hash_select_literals(engine, statement.select); !st) return fail(st.error());
    auto lines = explain_select(engine, statement.select);
    if (!lines) return fail(lines.error());
    Rows out{{"plan"}, {}};
    out.rows.reserve(lines->size());
    for (std::string& line : *lines) out.rows.push_back(Row{Value::text(std::move(line))});
    return ExecResult(std::move(out));
}

Result<ExecResult> select(Engine& engine, parser::SelectStatement statement, RowSink* sink) {
    const SubqueryCacheScope subquery_cache(engine);
    if (auto st = hash_select_literals(engine, statement); !st) return fail(st.error());
    const bool fast_path_shape = !statement.group_by && is_simple_select_list(statement) &&
                                 (!statement.where_clause || !contains_subquery(*statement.where_clause));
    if (fast_path_shape) {
        auto seek = try_index_fast_path(engine, statement);
        if (!seek) return fail(seek.error());
        if (*seek) return ExecResult(std::move(**seek));
    }
    auto rows = execute_select(engine, statement, nullptr, sink);
    if (!rows) return fail(rows.error());
    return ExecResult(std::move(*rows));
}

}  // namespace zembrel::executor
