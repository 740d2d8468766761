// What the planner and the scans read of a table, wherever its rows lie
// (loaded, cached from the page file, or only in the page file; a shared
// handle's reader reads its snapshot as a page file): the ways it offers to
// be read by, its rows as one snapshot, and the facts about its index trees
// that plans need. Every choice of a road starts from a TableSource, so no
// planner branches on where a table lives to learn what it offers.
// Thread: the engine's.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "operators/basic.h"

namespace zembrel::planner {

// Whether an in-memory index holds every keyed row of its loaded table: it
// has entered all of them and none of its ids can be stale. Only such an
// index may answer for the table (seeks, index joins, correlated seeks).
bool index_in_step(const MemIndex& index, const Table& table);

// One index a table offers, wherever it lives. Borrows the MemIndex's or
// the catalog's fields: valid until the engine's tables or catalog change
// (one planning call, or a statement, which changes neither).
struct SourceIndex {
    const std::string* name = nullptr;
    const std::vector<std::string>* columns = nullptr;
    const std::vector<size_t>* positions = nullptr;  // in the table's row, one per column
    const MemIndex* mem = nullptr;                   // null: a tree of the page file
};

// What a table offers: the usable indexes (a loaded table's in step with its
// rows; a page-file table's whose columns the catalog places inside its
// rows), by name; and a point by Pk value (a loaded table's primary-key
// tree; for a page-file table, the RowCache's rows keyed by Pk on first
// use). Missing: no such table, or a catalog that is stale until it is read
// again (nothing may be planned over it).
struct TableSource {
    enum class Kind : uint8_t { Missing = 0, Loaded = 1, PageFile = 2 };
    Kind kind = Kind::Missing;
    const Table* table = nullptr;                  // Loaded
    const std::vector<Column>* columns = nullptr;  // null when Missing
    std::vector<SourceIndex> indexes;
    std::optional<size_t> pk_column;

    bool in_page_file() const { return kind == Kind::PageFile; }
};
TableSource table_source(const Engine& engine, const std::string& name);

// The worker threads that read `rows` rows of a table straight from the
// page file (pagestore/parallel_rows.h), a worker for every quarter of
// `parallel_rows` rows, two at least (the calling thread only places the
// runs the workers read), one per core at most; none below a quarter of
// `parallel_rows` rows (a scan's decode alone pays for threads from there;
// a load's follows with the key sorting of its parallel_rows) or on one core.
// On a busy machine more threads than the rows pay for wait their turn, and
// the statement waits for all.
size_t parallel_read_workers(uint64_t rows, size_t parallel_rows);

// The table's rows, ids (ascending) and long texts read by `workers`
// threads; null when that road does not take the table (the sequential
// read meets whatever stopped it, in its order) or the catalog's id counter
// promises more rows than the file could hold.
std::shared_ptr<Table> rows_read_in_parallel(PageStore& store, const CatalogEntry& entry, size_t workers);

// The rows a scan of the table reads: a loaded table's own rows, in place
// (valid while the statement runs; no copy); else the RowCache's entry; else
// the rows read from the table's B+tree, its leaves read ahead or, from
// parallel_read_workers' rows, by worker threads (all joined before the
// call returns) (stored in the RowCache; the table stays unloaded). "table '{}' not found"; page-store errors unchanged.
Result<operators::SharedRows> table_rows_snapshot(Engine& engine, const std::string& name);

// A row read from a table's B+tree must be as wide as the table: a narrower
// one would send positions past its end. The same Storage error as loading.
Status check_stored_row(const Value& rowid, RowView row, size_t width, const std::string& table);

// Whether every row of a table read from the page file has an entry in the
// named index (none holds a NULL in its first column), from the counts of
// the two trees' cells (a large table's counted by worker threads, all
// joined before the call returns); learned once until the next write. False
// when the catalog lacks either. Errors: the trees'.
Result<bool> page_index_complete(Engine& engine, const std::string& table, const std::string& index);

}  // namespace zembrel::planner
