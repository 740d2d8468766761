// A SELECT bound against its tables before anything is planned or run.
#pragma once

#include <span>
#include <vector>

#include "engine/engine.h"
#include "parser/ast.h"
#include "planner/conditions.h"
#include "planner/select_binding.h"

namespace zembrel::planner {

// The reference checks of a SELECT, in their fixed order (tables, ON
// conditions, select list, WHERE, GROUP BY, ORDER BY); the first error ends
// the statement. Inside a subquery the WHERE, GROUP BY and ORDER BY see the
// outer tables first.
struct BoundSelect {
    std::vector<BoundTable> tables;
    OutputPlan plan;
};
Result<BoundSelect> bind_select(Engine& engine, const parser::SelectStatement& statement, const OuterContext* outer);

// Copies of the outer tables followed by the SELECT's own, whose offsets
// move past the outer width.
std::vector<BoundTable> combine_tables(std::span<const BoundTable> outer, std::span<const BoundTable> own);

}  // namespace zembrel::planner
