// Pipeline assembly: stacks the residual WHERE filter, grouping, sort, limit
// and projection on a SELECT's row source, evaluates window functions, and
// drains the result. Every operator built is released before it returns, on
// success and on failure; no partial result is returned.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "executor/exec_result.h"
#include "executor/planned.h"
#include "operators/operator.h"
#include "parser/ast.h"

namespace zembrel::executor {

struct PipelineOutput {
    std::vector<std::string> columns;
    std::vector<Row> rows;
    // The joined input row of each output row, when the select list has
    // scalar subqueries to fill in (their slots hold Null here).
    std::optional<std::vector<Row>> source_rows;
};

// `where`: a residual condition still to apply (one holding a subquery is
// left to the caller). `order_by`, `limit`: the statement's, or none (the
// SELECT driver passes neither for a select list with window functions).
// An aggregate query orders by output names: "ORDER BY column '{}' not in
// SELECT output". LIMIT 0 reads no row and binds nothing. `sink`: takes the
// drained rows in place of `rows` (a select list with windows or scalar
// subqueries still fills `rows`).
Result<PipelineOutput> build_pipeline(operators::OperatorPtr child, std::span<const BoundTable> bindings,
                                      const parser::Expr* where, const std::vector<parser::OrderByItem>* order_by,
                                      std::optional<uint64_t> limit, OutputPlan plan, uint64_t sort_budget,
                                      RowSink* sink = nullptr);

// One key per ORDER BY item, resolved against the bindings.
Result<std::vector<operators::SortKey>> build_sort_keys(const std::vector<parser::OrderByItem>& order_by,
                                                        std::span<const BoundTable> bindings);
// One key per ORDER BY item: the first output column of the item's column
// name (qualifier ignored). "ORDER BY column '{}' not in SELECT output".
Result<std::vector<operators::SortKey>> output_sort_keys(const std::vector<parser::OrderByItem>& order_by,
                                                         const std::vector<std::string>& columns);

}  // namespace zembrel::executor
