// What an Engine remembers about the open transaction: each touched table's
// pre-image, which tables changed and how each reaches the page store at
// COMMIT. Plain data; the executor's transaction handlers give it meaning.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "btree/mem_index.h"
#include "types/value.h"

namespace zembrel {

// How a table changed inside a transaction reaches the page store at COMMIT.
struct TableSyncMode {
    // Changes: the store still holds the table's pre-image; COMMIT writes
    // the difference between it and memory by row id (UPDATE and DELETE
    // change rows in place, so no rewrite is needed).
    enum Mode : uint64_t { Append = 0, Rewrite = 1, Changes = 2 };
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

using TxnSnapshot = std::unordered_map<std::string, TxnPreImage>;
using TxnChangedTables = std::unordered_set<std::string>;
using TableSyncModeMap = std::unordered_map<std::string, TableSyncMode>;

struct TransactionState {
    // Present = a transaction is open.
    std::optional<TxnSnapshot> pre_images;
    // Kept past COMMIT's handler for the commit's own sync, which empties them.
    TxnChangedTables changed_tables;
    TableSyncModeMap sync_modes;
    // The pre-images, handed from COMMIT's handler to the commit's sync
    // (which writes changed rows as the difference to them).
    std::optional<TxnSnapshot> committing;

    bool open() const { return pre_images.has_value(); }
    // Forgets everything: no transaction is open afterwards.
    void clear() {
        pre_images.reset();
        changed_tables.clear();
        sync_modes.clear();
        committing.reset();
    }
};

}  // namespace zembrel
