// A read-only view of an engine's database as of its last commit, for
// running a query on another thread while the engine goes on writing.
//
// `take` runs on the engine's thread (under the lock that guards the engine)
// and is cheap: it opens the page file and the log read-only and copies the
// log's page index; it never reads the engine's page cache, so uncommitted
// pages are never seen. Everything after that (`load_catalog`,
// `load_tables`) reads only the snapshot and runs on any one thread without
// the lock.
//
// Log growth: while any ReadSnapshot of a pager lives, that pager's
// checkpoints do nothing, so the snapshot's log offsets stay valid; commits
// go on appending to the log. A snapshot held for long while writers commit
// therefore lets the log grow past its checkpoint threshold; the next
// commit after the last snapshot is released checkpoints it.
//
// Ownership: owns its read-only files; may outlive the engine it was taken
// from (not the process's use of the files).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalog/catalog_store.h"
#include "engine/engine.h"
#include "pager/pager.h"
#include "types/error.h"

namespace zembrel {

class ReadSnapshot {
public:
    // Creates the engine's page store first when it has none (an in-memory
    // engine). Errors: ensure_page_store's and Pager::snapshot's.
    static Result<ReadSnapshot> take(Engine& engine);

    // Reads the catalog as of the snapshot (once; later calls do nothing).
    // Errors: the tree's and codecs', "invalid catalog key: {}", "corrupt
    // catalog entry '{}': {}".
    Status load_catalog();
    // Loads each named table the snapshot's catalog holds into `target`
    // (names it lacks are skipped; a name given twice loads once), calling
    // load_catalog first.
    Status load_tables(Engine& target, const std::vector<std::string>& names);
    // The named table as of the snapshot with its Pk tree and the secondary
    // indexes its catalog entry defines, decoded in full and ready to be
    // lent; none when the catalog has no such table. Errors: load_catalog's
    // and those of load_tables for the rows.
    Result<std::optional<TableVersion>> decode_table(const std::string& name);

    // Gives `reader` (an engine without a page store, on this snapshot's
    // thread) a read-only page store over the snapshot's pages
    // (Pager::over_snapshot, a cache of `cache_pages`) with its catalog as
    // of the snapshot, so that the tables the reader has not loaded or
    // borrowed are read through the page road (planner/table_source.h),
    // as a plain handle reads a table it has not loaded. The store shares
    // the pages, and with them the hold on checkpoints, until the reader
    // drops it; a write through it fails (kReadOnlyPagerRefusal). Errors:
    // the catalog tree's (load_catalog_entries).
    Status lend_pages(Engine& reader, size_t cache_pages) const;

    const PagerSnapshot& pages() const { return *pages_; }

private:
    explicit ReadSnapshot(std::shared_ptr<PagerSnapshot> pages) : pages_(std::move(pages)) {}
    const CatalogEntry* entry(const std::string& name) const;

    std::shared_ptr<PagerSnapshot> pages_;
    std::vector<NamedCatalogEntry> catalog_;  // in key order
    bool catalog_loaded_ = false;
};

}  // namespace zembrel
