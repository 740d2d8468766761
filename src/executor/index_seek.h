// The seeks that read the rows of an access path (planner/access_path.h):
// from the engine's in-memory indexes and primary-key trees, or from the
// page file's index trees (page_seek.h).
//
// A road either answers the statement in full (rows, or the statement's
// error) or says it does not apply; it never changes which rows qualify.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "executor/exec_result.h"
#include "executor/planned.h"
#include "parser/ast.h"

namespace zembrel::executor {

// A one-table SELECT of plain columns (or `*`) without GROUP BY or ORDER BY
// whose WHERE gives a path (plan_access_path; over a loaded table or the
// page file): the rows of the seek, at most LIMIT, projected,
// without binding the statement or building operators. The very rows
// execute_select gives; none when it does not apply (a select-list
// reference that does not resolve included: the binder reports it).
Result<std::optional<Rows>> try_index_fast_path(Engine& engine, const parser::SelectStatement& statement);

// The order a seek hands its rows on in: the index's, or the table's (where
// the seek stands in for a scan whose order shows, as in a correlated
// subquery). An ordered path always gives index order.
enum class SeekOrder : uint8_t { Index, Table };

// The rows of a path that meet `where`, at most the path's limit, in
// `order`; none when the path's index is gone. Errors: the predicate's
// binding error; for a page-file path, the index tree's and the table
// tree's errors, and a stored row of the wrong width.
Result<std::optional<std::vector<Row>>> seek_rows(Engine& engine, const std::string& table,
                                                  const AccessPath& path, const parser::Expr& where,
                                                  std::span<const BoundTable> tables, SeekOrder order);

// The index seek of a one-table SELECT: the path plan_access_path chooses
// and its rows in index order, already filtered by the whole WHERE; an
// ordered path's rows also in ORDER BY order and limited (else ORDER BY and
// LIMIT are the pipeline's). `aggregates`: the statement groups the rows.
// None when no index serves the statement.
struct IndexSeek {
    AccessPath path;
    std::vector<Row> rows;
};
Result<std::optional<IndexSeek>> try_index_seek(Engine& engine, const parser::SelectStatement& statement,
                                                std::span<const BoundTable> tables, bool aggregates);

}  // namespace zembrel::executor
