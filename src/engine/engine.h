// The Engine: the object behind every database handle. It holds the in-memory
// Database that statements run on, the in-memory indexes over its tables, the
// page store that keeps the tables in the page file, the lock file, the
// transaction state and the caches of statement execution.
//
// Lifecycle: `Engine()` is an in-memory database without a page store; the
// first operation that needs one creates a backing page file in the
// temporary directory (deleted again when the Engine is destroyed).
// `create_page_file` / `open_page_file` bind an Engine to a database file and
// hold its lock file (flock, exclusive, non-blocking) until destruction.
// Destruction never saves: uncommitted pages are rolled back first, so the
// file stays exactly as of its last commit.
//
// Ownership: a handle owns its Engine (move-only); the Engine owns everything
// below. Thread: one thread at a time (shared handles serialise behind a mutex).
//
// Open/close/load live in src/engine; statement execution (execute, the
// dispatcher, transactions, the page-store sync) in src/executor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "btree/pk_index.h"
#include "engine/page_store.h"
#include "executor/exec_result.h"
#include "pager/vfs.h"
#include "parser/ast.h"
#include "types/error.h"
#include "types/mem_index.h"
#include "types/value.h"

namespace zembrel {

// One row changed by a statement while a shadow session captures: INSERT has
// no `before`, DELETE no `after`.
struct CapturedChange {
    std::string table;
    std::optional<Row> before;
    std::optional<Row> after;
};

// How a table changed inside a transaction reaches the page store at COMMIT.
struct TableSyncMode {
    enum Mode : uint64_t { Append = 0, Rewrite = 1 };
    uint64_t mode = Append;
    // Append only: leading rows of the in-memory table the page store holds.
    uint64_t base_rows = 0;
};

// A table's state just before the first statement of the transaction that
// touched it. `table` none: the table did not exist then. When the
// transaction drops the table, the indexes and merge policy the drop removed
// are kept here (first drop only) so that ROLLBACK can bring them back.
struct TxnPreImage {
    std::optional<Table> table;
    bool drop_recorded = false;
    std::vector<MemIndex> dropped_indexes;  // definitions; key maps are rebuilt
    std::optional<std::string> dropped_merge_policy;
};

// Present = a transaction is open.
using TxnSnapshot = std::unordered_map<std::string, TxnPreImage>;
using TxnChangedTables = std::unordered_set<std::string>;
using TableSyncModeMap = std::unordered_map<std::string, TableSyncMode>;
// Table name -> merge policy word, mirrored from the catalog.
using MergePolicyMap = std::unordered_map<std::string, std::string>;
// Table name -> shared row snapshot for SELECT; emptied by every write.
using RowCache = std::unordered_map<std::string, std::shared_ptr<const std::vector<Row>>>;

struct Engine {
    // Fields in their fixed order.
    std::optional<std::string> path;               // none for an in-memory database
    std::unique_ptr<PageStore> page_store;         // none until created / opened
    std::optional<std::string> temp_page_file;     // backing file of an in-memory database
    std::optional<std::vector<CapturedChange>> change_capture;
    PkIndexMap pk_indexes;
    MemIndexMap mem_indexes;
    TxnChangedTables txn_changed_tables;
    TableSyncModeMap table_sync_modes;
    MergePolicyMap merge_policies;
    RowCache row_cache;
    Database database;
    std::optional<TxnSnapshot> txn_snapshot;
    uint64_t sort_run_rows = 32768;
    int lock_fd = -1;
    bool skip_persist = false;
    bool force_nested_join = false;
    // The file system the page store goes through (tests inject faults here).
    std::shared_ptr<Vfs> vfs;
    // The in-memory catalog could not be read back after a failed write and
    // is empty: nothing may use it (an empty catalog would let a write make
    // stored tables anew over their data) until ensure_page_store has read
    // it again.
    bool catalog_stale = false;

    // ---- Lifecycle (engine_lifecycle.cpp) ----
    // Engine::new: in memory, no page store; reads ZEMBREL_FORCE_NESTED_JOIN.
    Engine();
    // The release: rolls back uncommitted pages, closes the page store
    // (deleting a temporary backing file), then lets the lock go.
    ~Engine();
    Engine(Engine&& other) noexcept;
    Engine& operator=(Engine&& other) noexcept;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The lock file beside `path` (path + ".lock"), opened for writing and
    // locked with flock(LOCK_EX | LOCK_NB). Errors: "lock file open failed:
    // {}", "database '{}' is locked by another process".
    static Result<int> acquire_lock_file(const std::string& path);
    // A new page file at `path`, which must not exist.
    static Result<Engine> create_page_file(const std::string& path);
    static Result<Engine> create_page_file(const std::string& path, std::shared_ptr<Vfs> vfs);
    // An existing page file: lock, header, log replay, checkpoint, catalog
    // load, name maps. Loads no rows.
    static Result<Engine> open_page_file(const std::string& path);
    static Result<Engine> open_page_file(const std::string& path, std::shared_ptr<Vfs> vfs);
    // The page store, created first (a backing file in TMPDIR, else /tmp)
    // for an engine that has none. A failure leaves the engine without one.
    // A stale catalog is read again first (with the name maps); while that
    // fails, so does this.
    Result<PageStore*> ensure_page_store();

    // ---- Loading (engine_load.cpp) ----
    // Loads the named table from the page store unless it is in memory;
    // a name the catalog lacks is no error.
    Status ensure_table_loaded(std::string_view table);
    // Every catalog table, in ascending name order.
    Status load_all_tables();
    // Writes every in-memory table (schema, rows, indexes) into the page
    // store; nothing is committed.
    Status materialize_tables();
    // Builds the stored tree of every in-memory index of the table that its
    // catalog entry lacks (the table must be in the page store, or nothing
    // happens).
    Status store_memory_only_indexes(const std::string& table);
    // rebuild_pk_index for every table, in ascending name order (migration,
    // save-as and shadow copies call it after filling the Database).
    void refresh_pk_indexes();
    // Merge policies and index definitions from the catalog into the maps.
    void rebuild_name_maps();
    // Returns to the last commit after a failed write into the page store:
    // the pager is rolled back, the catalog reloaded from the committed
    // tree, every loaded table, index and cached row set dropped (they load
    // again from the file) and an open transaction discarded. Fails when
    // the rollback fails or the committed catalog cannot be read back; the
    // memory is dropped either way.
    Status reset_to_last_commit();
    // Replaces the in-memory catalog by what the catalog tree holds now
    // (row-id counters restart at their persisted hints) and refreshes the name
    // maps from it. On failure the catalog is left empty and marked stale.
    Status reload_catalog();

    // ---- Statement execution (src/executor) ----
    // A transaction is open.
    bool in_transaction() const { return txn_snapshot.has_value(); }
    // The whole road of one statement: load named tables, clear the row
    // cache, keep transaction state, run, mirror into the page store.
    Result<ExecResult> execute(parser::Statement statement);
    // The dispatcher alone, on the in-memory database.
    Result<ExecResult> execute_statement(parser::Statement statement);
    // Mirrors one outcome into the page store's cache (nothing is committed).
    Status sync_to_page_store(const ExecResult& result);

    // ---- In-memory index maintenance (mem_index_ops.cpp) ----
    // Operations naming an absent table or index do nothing. Statement
    // execution calls them after changing rows:
    //   INSERT of k rows onto s existing rows (already appended):
    //     pk_index_insert(t, s); index_insert_row(t, s); on failure
    //     truncate_table_rows(t, k).
    //   after a rewrite in the page store: Table::renumber_rowids,
    //     rebuild_pk_index, rebuild_secondary_indexes.
    //   after loading a table: rebuild_pk_index, rebuild_secondary_indexes.

    // Rebuilds (or removes, for a table without a Pk column or an absent
    // table) the table's primary-key index; with equal Pk values the last
    // row wins.
    void rebuild_pk_index(std::string_view table);
    // Adds the rows from position `first` on to the table's primary-key tree.
    void pk_index_insert(std::string_view table, size_t first);
    // Refills one index's map from all rows of its table; no unique check.
    void rebuild_index(std::string_view index_name);
    // rebuild_index for every index of the table.
    void rebuild_secondary_indexes(std::string_view table);
    // Enters the rows from position `first` on into every index of the table.
    // Fails with "unique constraint violated: duplicate key {}" when a unique
    // index already holds a new row's key under another row's id; what was
    // entered before the clash stays (the caller truncates the rows).
    Status index_insert_row(std::string_view table, size_t first);
    // Takes rowid out of the list of the row's key in every index of the table.
    void remove_rows_from_indexes(std::string_view table, uint64_t rowid, const Row& row);
    // Removes the table's last `count` rows and their ids from the table and
    // the secondary indexes and rebuilds the primary-key index; next_rowid
    // stays. Nothing happens for 0 or more than the row count.
    void truncate_table_rows(std::string_view table, size_t count);
};

}  // namespace zembrel
