// The join road of a SELECT: the operator tree yielding the joined rows of
// the FROM table and its JOIN tables, left to right, with the WHERE pushed
// down onto the FROM table's scan where that cannot change the result.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "executor/planned.h"
#include "operators/operator.h"
#include "parser/ast.h"

namespace zembrel::executor {

struct JoinSource {
    operators::OperatorPtr source;
    // The WHERE still to apply above the joins (none when it was pushed down).
    const parser::Expr* residual_where = nullptr;
};

// Errors: binding errors of the ON conditions, the row-snapshot errors of
// the tables and the errors of the left input drained for a merge join.
Result<JoinSource> build_join_source(Engine& engine, const parser::SelectStatement& statement,
                                     std::span<const BoundTable> tables, const OutputPlan& plan,
                                     const OuterContext* outer);

}  // namespace zembrel::executor
