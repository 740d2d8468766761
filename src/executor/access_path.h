// Index roads of a one-table SELECT. The primary-key point lookup of a
// loaded table is answered here without operators; index seeks over
// secondary indexes plug in beside it (try_index_seek).
//
// A road either answers the statement in full (rows, or the statement's
// error) or says it does not apply; it never changes a result.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "executor/exec_result.h"
#include "executor/select_binding.h"
#include "parser/ast.h"

namespace zembrel::executor {

// SELECT items FROM t WHERE pk = 'text' [LIMIT n] on a loaded table with a
// Pk column, for a select list without aggregates, windows or subqueries:
// the row through the primary-key tree. None when it does not apply.
Result<std::optional<Rows>> try_pk_fast_path(Engine& engine, const parser::SelectStatement& statement);

// A one-table SELECT of plain columns (or `*`) without GROUP BY over a
// loaded table whose WHERE gives an index path (plan_access_path): the rows
// of the seek, at most LIMIT, projected, without binding the statement or
// building operators. The very rows execute_select gives; none when it does
// not apply (a select-list reference that does not resolve included: the
// binder reports it).
Result<std::optional<Rows>> try_index_fast_path(Engine& engine, const parser::SelectStatement& statement);

// One end of an index range.
struct Bound {
    enum class Kind : uint8_t { Included = 0, Excluded = 1, Unbounded = 2 };
    Kind kind = Kind::Unbounded;
    Value value;
};

// How a one-table SELECT reads its FROM table through an in-memory index:
// the whole key of a composite index, or a range on the one column of a
// single-column index. The path only narrows the rows a scan would read:
// the seek's rows still meet the whole WHERE, in table order, so a path
// never changes a result.
struct AccessPath {
    enum class Kind : uint8_t { Composite = 0, Range = 1 };
    Kind kind = Kind::Range;
    std::string index;                 // the MemIndex used
    std::vector<std::string> columns;  // Composite: the index's columns; Range: the column
    std::vector<Value> key;            // Composite: one fitted value per column
    Bound lower, upper;                // Range
};

// The path for a SELECT without joins, GROUP BY or ORDER BY over a loaded
// table, with a WHERE that pins indexed columns: first an AND of equalities
// naming exactly the columns of a composite index in its order, else a
// range (AND of comparisons with literals on one column) on a column that
// a single-column index holds. Among several usable indexes the one with
// the smallest name. A literal that cannot be fitted to the column's kind
// (a text against a number, a number outside the Int range), a NULL
// literal, or an index not in step with the table's rows: no path (the scan
// answers, and a NULL bound matches nothing there).
std::optional<AccessPath> plan_access_path(const Engine& engine, const parser::SelectStatement& statement,
                                           const BoundTable& from);

// The same choice for a WHERE over the one table `from` (a correlated
// subquery's WHERE with the outer row's values in place).
std::optional<AccessPath> plan_where_access_path(const Engine& engine, const std::string& table,
                                                 const parser::Expr& where, const BoundTable& from);

// The rows of a path that meet `where`, in table order; none when the
// path's index is gone. The predicate's binding error is returned.
struct SeekRows;
Result<std::optional<SeekRows>> seek_rows(const Engine& engine, const std::string& table, const AccessPath& path,
                                          const parser::Expr& where, std::span<const BoundTable> tables);

// Rows of an index seek for a one-table SELECT with a Plain plan, in table
// order and already filtered by the whole WHERE (ORDER BY and LIMIT are the
// pipeline's). None when no index serves the statement.
struct SeekRows {
    std::vector<Row> rows;
    bool ordered = false;
};
Result<std::optional<SeekRows>> try_index_seek(Engine& engine, const parser::SelectStatement& statement,
                                               std::span<const BoundTable> tables);

}  // namespace zembrel::executor
