// The Engine: the object behind every database handle, built from parts that
// each own their state:
//   file      the open database file: path, lock, page store
//   tables    the loaded tables with both index families, merge policies and
//             the RowCache (the read-only view operators get)
//   txn       the open transaction's pre-images, changed tables, sync modes
//   settings  knobs of statement execution
//
// Lifecycle: `Engine()` is an in-memory database without a page store; the
// first operation that needs one creates a backing page file in the
// temporary directory, without a name: it goes with the Engine, or with the
// process however that ends.
// `create_page_file` / `open_page_file` bind an Engine to a database file and
// hold its lock file until destruction. Destruction never saves: uncommitted
// pages are rolled back first, so the file stays exactly as of its last
// commit.
//
// Ownership: a handle owns its Engine (move-only); the Engine owns everything
// below. Thread: one thread at a time (shared handles serialise behind a mutex).
//
// Statement execution (the execute step, the dispatcher, transactions, the
// page-store sync) lives above, in src/executor, and takes the Engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database_file.h"
#include "engine/loaded_tables.h"
#include "engine/transaction_state.h"
#include "pagestore/page_store.h"
#include "pager/vfs.h"
#include "types/error.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel {

// One row changed by a statement while a shadow session captures: INSERT has
// no `before`, DELETE no `after`.
struct CapturedChange {
    std::string table;
    std::optional<Row> before;
    std::optional<Row> after;
};

struct EngineSettings {
    // Bytes an ORDER BY holds in memory before it writes a sorted run to a
    // file (see sort_spill/external_sort.h for what is counted).
    uint64_t sort_budget = uint64_t{64} << 20;
    // Statements change memory only; nothing reaches a page store.
    bool skip_persist = false;
    // From ZEMBREL_FORCE_NESTED_JOIN.
    bool force_nested_join = false;
};

struct Engine {
    DatabaseFile file;
    LoadedTables tables;
    TransactionState txn;
    EngineSettings settings;
    // Present while a shadow session captures; the execute step appends the
    // rows of every statement that succeeded, sync included.
    std::optional<std::vector<CapturedChange>> change_capture;

    // ---- Lifecycle (engine_lifecycle.cpp) ----
    // In memory, no page store; reads ZEMBREL_FORCE_NESTED_JOIN.
    Engine();
    // A new page file at `path`, which must not exist. Both create and open
    // work on the file `path` leads to (resolve_links): its log, lock file
    // and the engine's `file.path` are named after that file. Under a held
    // lock they first remove what a killed save-as onto the file left
    // (save_as_scratch.h).
    static Result<Engine> create_page_file(const std::string& path);
    static Result<Engine> create_page_file(const std::string& path, std::shared_ptr<Vfs> vfs);
    // The same with the path's lock already taken by the caller (save-as and
    // migration hold it from before they touch any file); it goes to the
    // engine, or is released on failure.
    static Result<Engine> create_page_file(const std::string& path, std::shared_ptr<Vfs> vfs, FileLock lock);
    // The first open of a path that had no file when asked: under the
    // path's lock, a file that another opener made meanwhile is opened as
    // that opener left it (`open_page_file`), else a new one is made.
    static Result<Engine> open_or_create_page_file(const std::string& path, std::shared_ptr<Vfs> vfs);
    // An existing page file: lock, header, log replay, checkpoint, catalog
    // load, name maps. Loads no rows.
    static Result<Engine> open_page_file(const std::string& path);
    static Result<Engine> open_page_file(const std::string& path, std::shared_ptr<Vfs> vfs);
    static Result<Engine> open_page_file(const std::string& path, std::shared_ptr<Vfs> vfs, FileLock lock);
    // The page store, created first (a backing file in TMPDIR, else /tmp)
    // for an engine that has none. A failure leaves the engine without one.
    // A stale catalog is read again first (with the name maps); while that
    // fails, so does this.
    Result<PageStore*> ensure_page_store();
    PageStore* page_store() const { return file.page_store.get(); }
    bool in_transaction() const { return txn.open(); }

    // ---- Loading (engine_load.cpp) ----
    // Loads the named table from the page store unless it is in memory;
    // a name the catalog lacks is no error. A stored row whose width differs
    // from the catalog's column count is a Storage error naming the table
    // and the row id.
    Status ensure_table_loaded(std::string_view table);
    // Loads (or replaces) the table from its tree as of the snapshot, with
    // the entry's columns and without secondary indexes (those this engine
    // defined for a table of that name go). Same row errors as ensure_table_loaded. Touches neither
    // this engine's page store nor the snapshot's pager.
    Status load_table_from_snapshot(const PagerSnapshot& snapshot, std::string_view table,
                                    const CatalogEntry& entry);
    // Every catalog table, in ascending name order.
    Status load_all_tables();
    // Writes every in-memory table (schema, rows, indexes, merge policy)
    // into the page store; nothing is committed. The rows are numbered
    // 1..n, in the store and in memory.
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
};

}  // namespace zembrel
