// The page store: a Pager and its Catalog. Every table of a page file is a
// B+tree keyed by row id (key encoding of Int(row id), 9 bytes) whose values
// are row records; every index is a B+tree of index keys (the indexed values'
// key encodings, then Int(row id)) with empty values. Each table has a
// CatalogEntry in the catalog tree and in `catalog`.
//
// Row ids stored here are handed out by `next_rowid` from the entry's
// `rowid_counter`; `rowid_hint` (persisted) is kept at least as high, so a
// reopened table (counter = hint) never reuses an id. A rewrite numbers the
// rows 1..n again.
//
// All operations change pages only in the pager's cache; a save commits them.
// Each operation stops at its first error and undoes nothing; the caller
// rolls the pager back (and reloads the catalog) rather than save such a
// state. Rewrites and index builds check every index key (length, and the
// uniqueness of a unique index's keys) before the first page changes, so a
// rewrite that cannot succeed fails with the file untouched.
//
// Errors: Execution "table '{}' not found" for a name absent from the
// catalog; the texts listed per operation; lower layers' errors unchanged.
// Ownership and thread: the store belongs to one Engine, used by one thread
// at a time. Cursors borrow the store's pager and must not outlive it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bptree/bptree.h"
#include "catalog/catalog.h"
#include "pagestore/decoded_rows.h"
#include "pager/pager.h"
#include "types/error.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel {

// One row of a table changed by row id: `before` only = remove the row,
// `after` only = a new row under `rowid`, both = replace the row. The rows are
// borrowed for the call.
struct StoredRowChange {
    uint64_t rowid = 0;
    RowView before;  // the row as the store holds it
    RowView after;
};

struct PageStore {
    std::unique_ptr<Pager> pager;
    Catalog catalog;

    // ---- tables (table_store.cpp) --------------------------------------
    // A new empty table (root: one empty leaf; counter and hint 1).
    // "table '{}' already exists" when the name is taken.
    Status create_table(const std::string& name, std::vector<Column> columns);
    // Removes the entry, frees its index trees and its tree, and deletes its
    // catalog record. The entry is gone from `catalog` even when a later step
    // fails.
    Status drop_table(const std::string& name);
    // Replaces the columns; pk_column and every index's positions follow the
    // new columns by name. An index that names a column no longer present
    // can match no row and is dropped (its tree freed).
    Status set_table_columns(const std::string& name, std::vector<Column> columns);
    // Sets (or, with none, clears) the merge-policy word.
    Status set_merge_policy(const std::string& name, std::optional<std::string> policy);
    // The next row id as an Int value. Moves the hint 1024 past the counter
    // (and writes the entry) whenever the counter passes it.
    Result<Value> next_rowid(const std::string& name);
    // Stores the row's record under `key` (an existing key's value is
    // replaced) and writes the entry when the table's root moved.
    Status put_row(const std::string& name, std::span<const uint8_t> key, std::span<const Value> row);
    // Appends rows new to the table under fresh ids from next_rowid, adds
    // their index entries (unique indexes checked against live rows:
    // "unique constraint violated: duplicate key {}") and returns the ids in
    // row order. Index key lengths are checked before anything is stored.
    Result<std::vector<uint64_t>> insert_rows(const std::string& name, RowsView rows);
    // Replaces the table's whole content by `rows` under ids 1..n, rebuilds
    // its index trees and writes the entry (counter n + 1, hint n + 1025).
    // The caller renumbers the in-memory table the same way.
    Status rewrite_table(const std::string& name, RowsView rows);
    // Applies the changes by row id: rows removed, replaced or added in the
    // table tree, and only the index entries whose key changed removed and
    // added (removals first, so rows that swap unique keys pass; unique
    // indexes are checked against live rows: "unique constraint violated:
    // duplicate key {}"). Ids stay as given; the counter (and the hint) move
    // above the highest added id and to at least `next_rowid_at_least`. Every new record and index key is checked
    // for size before the first page changes. Each tree is changed leaf by
    // leaf, its changes sorted by key: at most one descent per change, and
    // one per leaf for changes that lie together. `changes` must name each
    // row id once.
    Status apply_row_changes(const std::string& name, std::span<const StoredRowChange> changes,
                             uint64_t next_rowid_at_least);
    // rewrite_table without freeing the old tree: for a table whose tree is
    // still empty (its empty root leaf goes back to the free list).
    Status replace_table_rows(const std::string& name, RowsView rows);
    // A fresh tree of `rows` under ids first_rowid, first_rowid + 1, ...;
    // returns its root. Touches no catalog entry and no index.
    Result<uint64_t> bulk_load_rows(uint64_t first_rowid, RowsView rows);
    // The row stored under the key encoding of `key`, or none.
    Result<std::optional<Row>> fetch_row(const std::string& name, const Value& key);

    // ---- index trees (index_store.cpp) ---------------------------------
    // Builds a new index over the table's stored rows and appends it to the
    // entry. Errors: "index must list at least one column", "index '{}'
    // already exists", "columns ({}) are already indexed on '{}'", "column
    // '{}' not found on '{}'", "rowid must be Int", "unique index '{}':
    // duplicate key {}", "key length {} exceeds maximum {}". Nothing of the
    // entry changes and no page is taken unless every key is valid.
    Status create_index(const std::string& table, const std::string& index_name,
                        const std::vector<std::string>& columns, bool unique);
    // Removes the index from the entry, frees its tree, writes the entry.
    // "index '{}' not found".
    Status drop_index(const std::string& table, const std::string& index_name);
    // Rebuilds every index tree of the table from `rows`, which hold the row
    // ids 1..n in list order (n = rows.size()). Every key is checked first
    // ("key length {} exceeds maximum {}"; a unique index whose rows repeat
    // a key: "unique constraint violated: duplicate key {}"), then the old
    // trees are freed and the new ones bulk-loaded. Sets the new roots in the
    // in-memory entry; the caller writes the entry.
    Status rebuild_indexes(const std::string& table, RowsView rows);
    // Adds the entry of (rowid, row) to the index tree at `root` and returns
    // its root. A row with a Null in an indexed column has no entry. For a
    // unique index, entries with the same values whose row is still in the
    // table fail with "unique constraint violated: duplicate key {}"; those
    // whose row is gone are stale and deleted. Touches no catalog entry.
    Result<uint64_t> insert_index_entry(const std::string& table, uint64_t root, uint64_t rowid,
                                        std::span<const Value> row, std::span<const size_t> positions,
                                        bool unique);
    // insert_index_entry into every index of the table, in catalog order;
    // new roots are stored in the entry, which is then written.
    Status insert_index_entries(const std::string& table, uint64_t rowid, std::span<const Value> row);

    // Writes a copy of the table's entry into the catalog tree.
    Status write_entry(const std::string& name);
};

// A forward cursor over a table's rows in row-id order. Borrows the store's
// pager (or the snapshot, which must outlive it); changes to the table while
// it is open may or may not be seen (a snapshot sees none).
class TableCursor {
public:
    static Result<TableCursor> open(PageStore& store, const std::string& name);
    // The table whose tree is rooted at `root`, as of the snapshot.
    static Result<TableCursor> open_snapshot(const PagerSnapshot& snapshot, uint64_t root);
    // The next (row id key, row), nothing at the end.
    Result<std::optional<std::pair<Value, Row>>> next_row();
    // The same into `key` and `row` (the row's capacity reused): false at
    // the end. The same errors, in the same order. With an arena the row's
    // long texts are borrowed from it (see storage::decode_row_into).
    Result<bool> next_row_into(Value& key, Row& row, TextArena* arena = nullptr);
    // The next row's key, decoded into `key`, and its record undecoded
    // (storage/row_record.h), valid until the cursor moves: false at the
    // end. Key errors as next_row's.
    Result<bool> next_record(Value& key, std::span<const uint8_t>& record);
    enum class Read : uint8_t { End, Appended, OtherWidth };
    // The next row decoded straight into a new last row of `rows`, of
    // `width` values, and its key into `key` (Appended). A row of another
    // number of values is not appended but decoded into `other` instead
    // (OtherWidth). Errors and their order as next_row's. With an arena the
    // appended row's long texts are borrowed from it.
    Result<Read> next_row_cells(Value& key, FlatRows& rows, size_t width, Row& other, TextArena* arena = nullptr);
    // For a pass over the whole table: see BPlusTreeCursor::read_ahead.
    void read_ahead() { cursor_.read_ahead(); }

private:
    explicit TableCursor(BPlusTreeCursor cursor) : cursor_(std::move(cursor)) {}
    BPlusTreeCursor cursor_;
};

// Rows fetched by row id one after another from one table's tree. While
// the ids rise (an index's entries of one key, the ids of a sorted list),
// the next row is looked for in the leaf in hand from the last row's cell
// on; past that leaf the walk climbs only to the lowest interior page on
// the way down whose keys reach the id and goes down from there (the next
// leaf costs no descent from the root). An id below the leaf in hand
// descends from the root. Interior pages are read and their cell index
// parsed once (InteriorPages), a leaf's when it is read. Borrows the
// store's pager; changes to the table while a fetcher is open may or may
// not be seen (it reads copies of the pages it walks). With DecodedRows a
// row decoded once is copied from there afterwards, its leaf unread.
class RowFetcher {
public:
    // None when the table is not in the catalog. With `interiors` (which
    // must outlive the fetcher) the interior pages come from there and are
    // kept there for later readers; else the fetcher keeps its own. With
    // `decoded` (which must outlive the fetcher, and be dropped with the
    // interiors) the rows fetched are looked for there first and kept
    // there.
    static std::optional<RowFetcher> open(PageStore& store, const std::string& name,
                                          InteriorPages* interiors = nullptr, DecodedRows* decoded = nullptr);
    // The row under the row id, none when it is gone: a view of the row the
    // DecodedRows keeps, or of the fetcher's own decoded row, which lives
    // until the next fetch. The same errors as PageStore::fetch_row.
    Result<std::optional<RowView>> fetch_view(uint64_t rowid);

private:
    RowFetcher(Pager& pager, uint64_t root, InteriorPages* interiors, DecodedRows* decoded);
    // Makes the leaf that would hold `key` the one in hand.
    Status locate(bpt::ByteSpan key);
    // From `page` (whose keys all lie below `upper`) down to the leaf that
    // would hold `key`, adding the interior pages passed to path_.
    Status go_down(uint64_t page, std::optional<bpt::ByteSpan> upper, bpt::ByteSpan key);
    // The leaf in hand's cell of `key` from pos_ on; none when absent.
    std::optional<bpt::CellRef> find_cell(bpt::ByteSpan key);
    Pager* pager_;
    uint64_t root_;
    uint64_t leaf_ = 0;  // 0: none loaded
    size_t pos_ = 0;     // cell of the last row looked for in the leaf
    std::unique_ptr<PageBuf> page_;              // the leaf in hand's copy, from the first leaf on
    Row row_;                                    // the last row decoded, which fetch_view lends
    bpt::PageIndex index_;
    std::vector<InteriorLevel> path_;            // root first; empty when the root is the leaf
    std::unique_ptr<InteriorPages> own_pages_;   // when none was lent
    InteriorPages* interiors_;
    DecodedRows* decoded_;
};

}  // namespace zembrel
