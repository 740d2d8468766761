// What an Engine remembers about the open transaction: each touched table's
// pre-image, which tables changed and how each reaches the page store at
// COMMIT. Plain data; the executor's transaction handlers give it meaning.
#pragma once

#include <algorithm>
#include <cstddef>
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
    enum Mode : uint64_t { Append = 0, Rewrite = 1 };
    uint64_t mode = Append;
    // Append only: leading rows of the in-memory table the page store holds.
    uint64_t base_rows = 0;
};

// The pre-image of a table that has only had rows appended since the
// transaction first touched it: its leading `rows` rows and their ids, which
// are still those of the live table, and the row-id counter it had then.
// Copying the table would make the first INSERT of a transaction cost the
// whole table.
struct GrownTable {
    size_t rows = 0;
    uint64_t next_rowid = 1;
};

// A table's state just before the first statement of the transaction that
// touched it: a whole copy (`table`), or while the table only grew, the
// length it had (`grown`, with `table` none). Neither: the table did not
// exist then. Before any change other than appending rows, `grown` must
// become a copy (materialize_grown). When the transaction drops the table,
// the indexes and merge policy the drop removed are kept here (first drop
// only) so that ROLLBACK can bring them back.
struct TxnPreImage {
    std::optional<Table> table;
    std::optional<GrownTable> grown;
    bool drop_recorded = false;
    std::vector<MemIndex> dropped_indexes;  // definitions; key maps are rebuilt
    std::optional<std::string> dropped_merge_policy;

    // Rows the table had before the transaction touched it.
    size_t row_count() const { return table ? table->rows.size() : grown ? grown->rows : 0; }
    // Turns a `grown` pre-image into the copy it stands for, taken from the
    // live table (which must have only grown since).
    void materialize_grown(const Table& live) {
        if (!grown) return;
        Table copy;
        copy.name = live.name;
        copy.columns = live.columns;
        const size_t n = std::min(grown->rows, live.rows.size());
        copy.rows.assign(live.rows.begin(), live.rows.begin() + static_cast<ptrdiff_t>(n));
        copy.rowids.assign(live.rowids.begin(), live.rowids.begin() + static_cast<ptrdiff_t>(std::min(n, live.rowids.size())));
        copy.next_rowid = grown->next_rowid;
        table = std::move(copy);
        grown.reset();
    }
    // The pre-image as a table, leaving this one empty; `live` is the
    // table now (needed for a `grown` pre-image, whose rows it holds).
    std::optional<Table> take_table(Table* live) {
        if (grown) {
            if (live == nullptr) return std::nullopt;
            Table restored = std::move(*live);
            restored.rows.resize(std::min(grown->rows, restored.rows.size()));
            restored.rowids.resize(std::min(grown->rows, restored.rowids.size()));
            restored.next_rowid = grown->next_rowid;
            grown.reset();
            return restored;
        }
        return std::move(table);
    }
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

    bool open() const { return pre_images.has_value(); }
    // Forgets everything: no transaction is open afterwards.
    void clear() {
        pre_images.reset();
        changed_tables.clear();
        sync_modes.clear();
    }
};

}  // namespace zembrel
