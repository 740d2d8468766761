// What the planner and the scans read of a table, wherever its rows lie
// (loaded, cached from the page file, or only in the page file): its rows
// as one snapshot, and the facts about its index trees that plans need.
// Thread: the engine's.
#pragma once

#include <string>

#include "engine/engine.h"
#include "operators/basic.h"

namespace zembrel::planner {

// The rows a scan of the table reads: a loaded table's own rows, in place
// (valid while the statement runs; no copy); else the RowCache's entry; else
// the rows read from the table's B+tree (stored in the RowCache; the table
// stays unloaded). "table '{}' not found"; page-store errors unchanged.
Result<operators::SharedRows> table_rows_snapshot(Engine& engine, const std::string& name);

// A row read from a table's B+tree must be as wide as the table: a narrower
// one would send positions past its end. The same Storage error as loading.
Status check_stored_row(const Value& rowid, const Row& row, size_t width, const std::string& table);

// Whether every row of a table read from the page file has an entry in the
// named index (none holds a NULL in its first column), from the counts of
// the two trees' cells; learned once until the next write. False when the
// catalog lacks either. Errors: the trees'.
Result<bool> page_index_complete(Engine& engine, const std::string& table, const std::string& index);

}  // namespace zembrel::planner
