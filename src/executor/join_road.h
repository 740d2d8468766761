// The join road of a SELECT: the operator tree yielding the joined rows of
// the FROM table and its JOIN tables, left to right, with the WHERE pushed
// down onto the FROM table's scan where that cannot change the result.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "executor/conditions.h"
#include "executor/select_binding.h"
#include "operators/operator.h"
#include "parser/ast.h"

namespace zembrel::executor {

struct JoinSource {
    operators::OperatorPtr source;
    // The WHERE still to apply above the joins (none when it was pushed down).
    const parser::Expr* residual_where = nullptr;
};

// Each join gets a hash join when its ON condition is an AND of equalities
// between a column of the tables before it and a column of its own table,
// else (and always under `force_nested_join`) a nested-loop join. The WHERE
// goes below the joins only when it names nothing but the FROM table, holds
// no subquery, every join is INNER or LEFT (a RIGHT join's Null-filled rows
// must still meet it), and the SELECT is not inside another (`outer` absent:
// its WHERE may name outer columns). Errors: binding errors of the ON
// conditions and the row-snapshot errors of the tables.
// The algorithm of one join, unless nested loops are forced: when the ON
// condition is an AND of equalities between a left column and a right
// column (left positions in the row built so far, right positions in the
// JOIN table's row), an index nested-loop join for one pair of an INNER or
// LEFT join whose right column a single-column index of the loaded JOIN
// table holds in step with its rows, else a hash join; any other ON: a
// nested loop.
struct JoinChoice {
    enum class Algorithm : uint8_t { NestedLoop = 0, Hash = 1, IndexNestedLoop = 2 };
    Algorithm algorithm = Algorithm::NestedLoop;
    std::vector<size_t> left_keys;
    std::vector<size_t> right_keys;
    std::string index_column;  // IndexNestedLoop: the JOIN table's key column
};
JoinChoice choose_join(const Engine& engine, const operators::BoundPredicate& on, size_t left_width,
                       const parser::Join& join);

// Whether the WHERE goes below the joins (the rule above).
Result<bool> where_pushes_down(const parser::SelectStatement& statement, std::span<const BoundTable> tables,
                               const OuterContext* outer);

Result<JoinSource> build_join_source(Engine& engine, const parser::SelectStatement& statement,
                                     std::span<const BoundTable> tables, const OuterContext* outer);

}  // namespace zembrel::executor
