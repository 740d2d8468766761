// What an Engine remembers about the open transaction: each touched table's
// pre-image, which tables changed and how each reaches the page store at
// COMMIT. Plain data; the executor's transaction handlers give it meaning.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "btree/mem_index.h"
#include "types/table.h"
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

// The pre-image of a table that only INSERT, UPDATE and DELETE touched so
// far: instead of a copy of every row, the first image of each row the
// transaction changed or removed. Rows with ids above `last_stored_id` are
// new in the transaction. The columns are the table's current ones (a column
// change turns the journal into a full copy first).
struct RowJournal {
    uint64_t next_rowid = 1;
    uint64_t last_stored_id = 0;  // highest row id of the table at first touch
    size_t row_count = 0;         // rows at first touch
    std::unordered_map<uint64_t, Row> originals;
};

// The table as it was at first touch, from its current state and the journal.
// Rows of `current` must pair with their ids in ascending order.
inline Table reconstruct_pre_image(const Table& current, const RowJournal& journal) {
    Table out;
    out.name = current.name;
    out.columns = current.columns;
    out.next_rowid = journal.next_rowid;
    out.rows.reserve(journal.row_count, current.columns.size());
    out.rowids.reserve(journal.row_count);
    // Removed rows, ascending by id, merged back in between the kept ones.
    std::vector<uint64_t> removed;
    for (const auto& [id, row] : journal.originals) removed.push_back(id);
    std::sort(removed.begin(), removed.end());
    size_t r = 0;
    auto put = [&](uint64_t id, RowView row) {
        out.rowids.push_back(id);
        out.rows.push_back(row);
    };
    for (size_t i = 0; i < current.rows.size() && i < current.rowids.size(); ++i) {
        const uint64_t id = current.rowids[i];
        if (id > journal.last_stored_id) break;
        for (; r < removed.size() && removed[r] < id; ++r) put(removed[r], journal.originals.find(removed[r])->second);
        if (r < removed.size() && removed[r] == id) ++r;
        auto original = journal.originals.find(id);
        put(id, original != journal.originals.end() ? original->second : current.rows[i]);
    }
    for (; r < removed.size(); ++r) put(removed[r], journal.originals.find(removed[r])->second);
    return out;
}

// A table's state just before the first statement of the transaction that
// touched it: a whole copy (`table`), or while only rows changed, a row
// journal (`journal`, with `table` none). Neither: the table did not exist
// then. Before any other change the journal must become a copy
// (materialize). When the transaction drops the table, the merge policy the
// drop removed is kept here (first drop only) so that ROLLBACK can bring it
// back; its indexes come back from the transaction's index definitions.
struct TxnPreImage {
    std::optional<Table> table;
    std::optional<RowJournal> journal;  // instead of `table`, see RowJournal
    bool drop_recorded = false;
    std::optional<std::string> dropped_merge_policy;

    // Rows the table had before the transaction touched it.
    size_t row_count() const { return table ? table->rows.size() : journal ? journal->row_count : 0; }
    // Turns a journal into the copy it stands for, from the live table.
    void materialize(const Table& live) {
        if (!journal) return;
        table = reconstruct_pre_image(live, *journal);
        journal.reset();
    }
    // The pre-image as a table, leaving this one empty; `live` is the table
    // now (needed for a journal, whose rows it mostly holds). A journal
    // without changed rows stands for the live table's leading rows.
    std::optional<Table> take_table(Table* live) {
        if (journal) {
            if (live == nullptr) return std::nullopt;
            Table restored;
            if (journal->originals.empty()) {
                restored = std::move(*live);
                restored.rows.truncate(std::min(journal->row_count, restored.rows.size()));
                restored.rowids.resize(std::min(journal->row_count, restored.rowids.size()));
                restored.next_rowid = journal->next_rowid;
            } else {
                restored = reconstruct_pre_image(*live, *journal);
            }
            journal.reset();
            return restored;
        }
        return std::move(table);
    }
};

using TxnSnapshot = std::unordered_map<std::string, TxnPreImage>;

using TxnChangedTables = std::unordered_set<std::string>;
using TableSyncModeMap = std::unordered_map<std::string, TableSyncMode>;

// Whether two indexes are defined alike: same name, table, columns and
// unique flag (positions follow the columns, entries the rows).
inline bool same_index_definition(const MemIndex& a, const MemIndex& b) {
    return a.name == b.name && a.table == b.table && a.columns == b.columns && a.unique == b.unique;
}

// The tables, sorted, of every index that `now` and `before` define
// differently or only one of them has. Every other table's indexes are
// defined alike in both, and a name that moved to another table names both
// tables.
inline std::vector<std::string> tables_whose_indexes_differ(const MemIndexMap& now, const std::vector<MemIndex>& before) {
    std::vector<std::string> tables;
    std::unordered_map<std::string_view, const MemIndex*> by_name;
    for (const MemIndex& index : before) by_name.emplace(index.name, &index);
    for (const auto& [name, index] : now) {
        auto b = by_name.find(name);
        if (b == by_name.end() || !same_index_definition(*b->second, index)) tables.push_back(index.table);
    }
    for (const MemIndex& index : before) {
        const MemIndex* still = now.get(index.name);
        if (still == nullptr || !same_index_definition(*still, index)) tables.push_back(index.table);
    }
    std::sort(tables.begin(), tables.end());
    tables.erase(std::unique(tables.begin(), tables.end()), tables.end());
    return tables;
}

struct TransactionState {
    // Present = a transaction is open.
    std::optional<TxnSnapshot> pre_images;
    // Every index of the database as BEGIN found it, definitions only (empty
    // key maps). Index DDL inside the transaction changes memory alone;
    // ROLLBACK puts these back, and the commit's sync (past COMMIT's
    // handler) writes the difference to them, so the file holds either these
    // or the committed ones.
    std::vector<MemIndex> indexes_at_begin;
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
        indexes_at_begin.clear();
    }
};

}  // namespace zembrel
