// Where subqueries plug into SELECT: the dynamic evaluator runs EXISTS, IN
// and scalar comparison subqueries through these, and the SELECT driver runs
// the select list's scalar subqueries, once per output row.
#pragma once

#include "engine/engine.h"
#include "executor/conditions.h"
#include "executor/exec_result.h"
#include "operators/predicate.h"
#include "parser/ast.h"

namespace zembrel::executor {

// Runs a subquery for one row of the SELECT around it.
Result<Rows> run_subquery(Engine& engine, const parser::SelectStatement& subquery, const OuterContext& outer);

// A scalar subquery's value: Null for no row; "subquery returned more than
// one row"; "subquery must return exactly one column".
Result<Value> scalar_value(Rows result);

// x IN (subquery): Indeterminate for a Null probe; True when a first-column
// value equals the probe under Value::key_cmp; else Indeterminate when a
// value is Null, else False.
operators::Truth in_subquery_truth(const Value& probe, const Rows& result);

}  // namespace zembrel::executor
