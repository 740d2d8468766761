// Subqueries are not run yet: every statement that needs one fails cleanly
// before it returns a row.
#include "executor/subquery.h"

namespace zembrel::executor {

Result<Rows> run_subquery(Engine&, const parser::SelectStatement&, const OuterContext&) {
    return execution_error("subqueries are not supported yet");
}

Result<Value> scalar_value(Rows result) {
    if (result.rows.empty()) return Value::null();
    if (result.rows.size() > 1) return execution_error("subquery returned more than one row");
    if (result.rows.front().size() != 1) return execution_error("subquery must return exactly one column");
    return std::move(result.rows.front().front());
}

operators::Truth in_subquery_truth(const Value& probe, const Rows& result) {
    if (probe.is_null()) return operators::Truth::Indeterminate;
    bool saw_null = false;
    for (const Row& row : result.rows) {
        if (row.empty()) continue;
        if (row.front().is_null()) saw_null = true;
        else if (Value::key_cmp(row.front(), probe) == 0) return operators::Truth::True;
    }
    return saw_null ? operators::Truth::Indeterminate : operators::Truth::False;
}

}  // namespace zembrel::executor
