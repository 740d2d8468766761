// The Engine: the object behind every database handle. It holds the in-memory
// Database that statements run on and the in-memory indexes over its tables.
//
// Ownership: a handle owns its Engine; the Engine owns everything below.
// Thread: one thread at a time (shared handles serialise behind a mutex).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "btree/pk_index.h"
#include "types/error.h"
#include "types/mem_index.h"
#include "types/value.h"

namespace zembrel {

struct Engine {
    // Fields in their fixed order. The ones not declared yet (path,
    // page_store, temp_page_file, change_capture before the index maps;
    // the transaction, sync-mode and merge-policy maps and the row cache
    // before the database; the transaction snapshot, sort_run_rows, lock_fd,
    // skip_persist and force_nested_join after it) arrive with the engine's
    // open and close code.
    PkIndexMap pk_indexes;
    MemIndexMap mem_indexes;
    Database database;

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
