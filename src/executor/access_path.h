// Index roads of a one-table SELECT. The primary-key point lookup of a
// loaded table is answered here without operators; index seeks over
// secondary indexes plug in beside it (try_index_seek).
//
// A road either answers the statement in full (rows, or the statement's
// error) or says it does not apply; it never changes a result.
#pragma once

#include <optional>
#include <span>
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

// Rows of an index seek for a one-table SELECT with a Plain plan: `ordered`
// when they already come in ORDER BY order with the LIMIT applied. None
// when no index serves the statement.
struct SeekRows {
    std::vector<Row> rows;
    bool ordered = false;
};
Result<std::optional<SeekRows>> try_index_seek(Engine& engine, const parser::SelectStatement& statement,
                                               std::span<const BoundTable> tables);

}  // namespace zembrel::executor
