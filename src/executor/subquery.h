// Where subqueries plug into SELECT: the dynamic evaluator runs EXISTS, IN
// and scalar comparison subqueries through these, and the SELECT driver runs
// the select list's scalar subqueries, once per output row.
#pragma once

#include "engine/engine.h"
#include "executor/planned.h"
#include "executor/exec_result.h"
#include "operators/predicate.h"
#include "parser/ast.h"

namespace zembrel::executor {

// While one lives (the SELECT dispatcher opens one per statement), a
// subquery that names no column outside it (in its WHERE, or in the WHERE
// of a subquery inside it, at any depth) runs once and its result serves
// every outer row, and a correlated one is bound and planned once and then
// only run per outer row (correlated_subquery.h); nested scopes share the
// outermost. Without one every call binds, plans and runs the subquery. Thread: the engine's; scopes nest strictly.
class SubqueryCacheScope {
public:
    explicit SubqueryCacheScope(const Engine& engine);
    ~SubqueryCacheScope();
    SubqueryCacheScope(const SubqueryCacheScope&) = delete;
    SubqueryCacheScope& operator=(const SubqueryCacheScope&) = delete;
};

// EXISTS and IN (subquery) for one outer row, with the rules below.
Result<bool> subquery_exists(Engine& engine, const parser::SelectStatement& subquery, const OuterContext& outer);
Result<operators::Truth> subquery_in(Engine& engine, const Value& probe, const parser::SelectStatement& subquery,
                                     const OuterContext& outer);

// Runs a subquery for one row of the SELECT around it.
Result<Rows> run_subquery(Engine& engine, const parser::SelectStatement& subquery, const OuterContext& outer);

// A scalar subquery's value: Null for no row; "subquery returned more than
// one row"; "subquery must return exactly one column".
Result<Value> scalar_value(Rows result);

// x IN (subquery): Indeterminate for a Null probe; rows in order: a row not
// exactly one value wide gives Indeterminate at once, a value equal to the
// probe under Value::key_cmp True at once; after the last row Indeterminate
// when a value was Null, else False.
operators::Truth in_subquery_truth(const Value& probe, const Rows& result);

}  // namespace zembrel::executor
