// The choice of each join's algorithm and of where the WHERE of a joined
// SELECT applies: the decisions SELECT runs and EXPLAIN prints.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "operators/predicate.h"
#include "parser/ast.h"
#include "planner/conditions.h"
#include "planner/select_binding.h"

namespace zembrel::planner {

// The algorithm of one join, unless nested loops are forced: when the ON
// condition is an AND of equalities between a left column and a right
// column (left positions in the row built so far, right positions in the
// JOIN table's row), then for one key pair
//  - a merge join for the first join when it is INNER, both key columns are
//    indexed, `=` groups their types transitively and the row order may
//    change (`order_free`);
//  - else an index nested-loop join for an INNER or LEFT join whose right
//    column a single-column index of the loaded JOIN table holds in step
//    with its rows;
// and otherwise a hash join, built on the left rows for the first INNER join
// when the WHERE was not pushed down, the order may change and the FROM
// table has fewer rows than the JOIN table. Any other ON: a nested loop.
struct JoinChoice {
    enum class Algorithm : uint8_t { NestedLoop = 0, Hash = 1, IndexNestedLoop = 2, Merge = 3 };
    Algorithm algorithm = Algorithm::NestedLoop;
    std::vector<size_t> left_keys;
    std::vector<size_t> right_keys;
    std::string index_column;  // IndexNestedLoop: the JOIN table's key column
    bool build_left = false;   // Hash: the left rows are hashed
};

// What the choice of one join knows of its statement.
struct JoinSetting {
    size_t position = 0;       // of the join, in JOIN order
    bool order_free = false;   // order_free_joins
    bool where_pushed = false;
    // The row counts of the FROM table and of this JOIN table; asked only
    // when a build-left hash join is otherwise possible.
    std::function<Result<std::pair<size_t, size_t>>()> row_counts;
};

// `tables`: the FROM table and the JOIN tables up to this join. Errors:
// those of `row_counts`.
Result<JoinChoice> choose_join(const Engine& engine, const operators::BoundPredicate& on,
                               std::span<const BoundTable> tables, const parser::Join& join,
                               const JoinSetting& setting);

// Whether the joins may hand their rows on in another order than nested
// loops would, without the statement's result showing it: a plain select
// list without subqueries or window functions, a WHERE without subqueries,
// and either neither ORDER BY nor LIMIT, or an ORDER BY that names a Pk
// column of every table (no two joined rows then tie).
bool order_free_joins(const parser::SelectStatement& statement, const OutputPlan& plan,
                      std::span<const BoundTable> tables);

// Whether the WHERE goes below the joins: only when it names nothing but the
// FROM table, holds no subquery, every join is INNER or LEFT (a RIGHT join's
// Null-filled rows must still meet it), and the SELECT is not inside another
// (`outer` absent: its WHERE may name outer columns).
Result<bool> where_pushes_down(const parser::SelectStatement& statement, std::span<const BoundTable> tables,
                               const OuterContext* outer);

// The JOIN table's single-column in-memory index on `column` that an index
// nested-loop join reads: one holding every keyed row of its loaded table,
// the smallest name among several; null when there is none.
const MemIndex* join_index(const Engine& engine, const std::string& table_name, size_t column);

}  // namespace zembrel::planner
