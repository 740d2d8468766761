// The dynamic evaluator for conditions that hold subqueries: it runs them
// while it decides a row, so it lives with the code that runs statements.
//
// One semantics everywhere: three-valued logic (operators/predicate.h). It
// gives exactly what a bound predicate gives for the same subquery-free
// condition, and a row qualifies only when the result is True.
#pragma once

#include <span>

#include "engine/engine.h"
#include "operators/predicate.h"
#include "parser/ast.h"
#include "executor/planned.h"

namespace zembrel::executor {

// Evaluates a condition against one row of `tables`, resolving columns as it
// goes and running its subqueries (each once, for this row, with an outer
// context of `tables` and `row`). AND and OR evaluate both sides, left first,
// so a failing right side fails the statement. The first error is returned.
Result<operators::Truth> eval_condition(Engine& engine, std::span<const BoundTable> tables, const ChainedRow& row,
                                        const parser::Expr& condition);

}  // namespace zembrel::executor
