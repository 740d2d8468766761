// The tables an Engine has loaded into memory, with everything kept in step
// with their rows: the primary-key trees, the secondary indexes, the merge
// policies mirrored from the catalog and the RowCache of SELECT.
//
// This is the read-only view operators get (`const LoadedTables&`), and the
// home of the row-level operations that keep both index families in step
// with the rows. Operations naming an absent table or index do nothing.
// Statement execution calls them after changing rows:
//   INSERT of k rows onto s existing rows: check_index_key_lengths before
//     appending; once appended pk_index_insert(t, s); index_insert_row(t,
//     s); on failure truncate_table_rows(t, k).
//   after a rewrite in the page store: Table::renumber_rowids,
//     rebuild_pk_index, rebuild_secondary_indexes.
//   after loading a table: rebuild_pk_index, rebuild_secondary_indexes.
//   UPDATE: update_rows (checks, then changes); DELETE: delete_rows.
//
// Borrowed tables: an engine may also read tables it does not own, lent as
// immutable TableVersions (a shared handle's readers borrow the versions
// the handle keeps instead of decoding a copy each). The lookups below
// (find, pk_index, index, index_names_of) see loaded and borrowed tables
// alike; every operation that changes a table reaches loaded ones only
// (find_owned), so a borrowed table is never changed through this engine.
//
// Ownership: owned by one Engine; references into it (tables, rows, index
// entries) stay valid until the next change of the same table. A borrowed
// version is kept alive by every engine that borrows it. Thread: the owning
// engine's; a borrowed version may be read by several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "btree/mem_index.h"
#include "btree/pk_index.h"
#include "types/error.h"
#include "types/parallel_parts.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel {

class InteriorPages;  // bptree/bptree.h
class DecodedRows;    // pagestore/decoded_rows.h

// Table name -> merge policy word, mirrored from the catalog.
using MergePolicyMap = std::unordered_map<std::string, std::string>;
using SharedTableRows = std::shared_ptr<const FlatRows>;

// A single-column index tree of the page file read into memory for runs of
// point lookups: its keys with their live entries (stale ones left out) and
// the hash view over them. An entry stands as a slot: the map lists a key's
// slots rising, which is its rows' table order; `rowids` gives a slot's row
// id and, when the rows were kept, `rows` the row itself. Immutable once
// built; the view points into the map.
struct PageKeyHash {
    IndexKeyMap map;
    std::optional<KeyHashView> view;
    std::vector<uint64_t> rowids;
    TextArena arena;  // long texts the kept rows borrow, when they were read by worker threads
    std::optional<FlatRows> rows;
};

// What SELECT learned about a table read from the page file, true of the
// rows the RowCache holds for it (or would read): it is dropped with them.
struct PageTableFacts {
    // (hash of the Pk value, position) of every cached row, sorted: the
    // primary-key lookup the page file does not have.
    std::vector<std::pair<uint64_t, uint32_t>> pk_hashes;
    bool pk_hashes_built = false;
    // Index name -> whether every row of the table has an entry in it (no
    // row holds a NULL in the index's first column).
    std::unordered_map<std::string, bool> index_complete;
    // The interior pages of the table's tree and index trees that seeks
    // have read, parsed once for every later statement.
    std::shared_ptr<InteriorPages> interiors;
    // The rows of the table's tree that seeks have fetched, decoded once.
    std::shared_ptr<DecodedRows> decoded_rows;
    // Index name -> its keys read for point lookups; null when the index is
    // too large to hold.
    std::unordered_map<std::string, std::shared_ptr<const PageKeyHash>> key_hashes;
};

// Table name -> shared row snapshot for SELECT, with the facts learned
// about the table; emptied by every write.
struct RowCache {
    using Map = std::unordered_map<std::string, SharedTableRows>;
    Map rows;
    std::unordered_map<std::string, PageTableFacts> facts;

    Map::iterator find(const std::string& name) { return rows.find(name); }
    Map::const_iterator find(const std::string& name) const { return rows.find(name); }
    Map::iterator end() { return rows.end(); }
    Map::const_iterator end() const { return rows.end(); }
    SharedTableRows& operator[](const std::string& name) { return rows[name]; }
    size_t count(const std::string& name) const { return rows.count(name); }
    bool empty() const { return rows.empty() && facts.empty(); }
    void erase(const std::string& name) {
        rows.erase(name);
        facts.erase(name);
    }
    void clear() {
        rows.clear();
        facts.clear();
    }
};

// One table with both its index families, immutable once built.
struct TableVersion {
    Table table;
    std::optional<PkIndex> pk;  // none for a table without a Pk column
    MemIndexMap indexes;        // the table's own, named as in the catalog
};

struct LoadedTables {
    Database database;
    PkIndexMap pk_indexes;
    MemIndexMap mem_indexes;
    MergePolicyMap merge_policies;
    RowCache row_cache;
    // Lent tables; a name is never both here and in `database`.
    std::vector<std::shared_ptr<const TableVersion>> borrowed;
    // Tables of at least this many rows are read from the page file with
    // worker threads (one per core at most, all joined before the load
    // returns), and their key trees sorted so, in parts of at least
    // parallel_rows rows; the rows and trees are those of one thread.
    // Tests lower it to take that road with small tables.
    size_t parallel_rows = kParallelRows;
    static constexpr size_t kParallelRows = 20'000;

    // A loaded or borrowed table.
    const Table* find(std::string_view name) const;
    // A loaded table: the tables statements may change.
    Table* find_owned(std::string_view name);
    // The primary-key index of a loaded or borrowed table, if it has one.
    const PkIndex* pk_index(std::string_view table) const;
    // A secondary index of a loaded or borrowed table, by name.
    const MemIndex* index(std::string_view name) const;
    // The names of the table's secondary indexes (loaded or borrowed).
    std::vector<std::string> index_names_of(std::string_view table) const;

    // Lends `version` to this engine, in place of a table of its name.
    void borrow(std::shared_ptr<const TableVersion> version);
    // Moves a loaded table out with both its index families (forgotten
    // here); none when it is not loaded.
    std::optional<TableVersion> release_table(std::string_view name);

    // Forgets a table in memory: its rows, both index families, its merge
    // policy and its cached rows, or the borrowed version.
    void forget_table(const std::string& name);
    // Forgets every table, borrowed ones included (they load again from the
    // page store).
    void clear();
    // Whether the loaded tables are large enough (rows, or bytes of texts)
    // that freeing them leaves many blocks worth handing back to the system
    // (forget_table does; so does closing a handle).
    bool worth_trimming() const;

    // Rebuilds (or removes, for a table without a Pk column or an absent
    // table) the table's primary-key index; with equal Pk values the last
    // row wins. Every rebuild takes a Split: the sorting passes may run on
    // worker threads (joined before return), the trees built as one thread
    // builds them.
    void rebuild_pk_index(std::string_view table, const Split& split = {});
    // Adds the rows from position `first` on to the table's primary-key tree.
    void pk_index_insert(std::string_view table, size_t first);
    // Refills one index's map from all rows of its table; no unique check.
    void rebuild_index(std::string_view index_name, const Split& split = {});
    // rebuild_index for every index of the table.
    void rebuild_secondary_indexes(std::string_view table, const Split& split = {});
    // rebuild_pk_index and rebuild_secondary_indexes; a split of several
    // workers without a crew gets one crew for all of their passes.
    void rebuild_indexes(std::string_view table, const Split& split = {});
    // After the table's columns changed: every index's positions follow its
    // columns by name, an index naming a column the table lacks is removed,
    // and both index families are rebuilt.
    void refit_indexes(std::string_view table);
    // Enters the rows from position `first` on into every index of the table.
    // Fails with "unique constraint violated: duplicate key {}" when a unique
    // index already holds a new row's key under another row's id; what was
    // entered before the clash stays (the caller truncates the rows).
    Status index_insert_row(std::string_view table, size_t first);
    // Refuses rows that would give an index of the table a key the page
    // store cannot hold ("key length {} exceeds maximum {}" for the first
    // such row in `rows`). Statements call it before they change the table:
    // such a row must not pass a statement only to fail the mirroring or a
    // COMMIT later.
    Status check_index_key_lengths(std::string_view table, RowsView rows) const;
    // Takes rowid out of the list of the row's key in every index of the table.
    void remove_rows_from_indexes(std::string_view table, uint64_t rowid, RowView row);
    // The position of the row with this id, or none. Ids ascend along the
    // rows, so this is a binary search (with a scan as the fallback).
    std::optional<size_t> position_of_rowid(std::string_view table, uint64_t rowid) const;
    // Gives the rows at `positions` (distinct) the values `cells` holds for
    // the columns `columns` (distinct, inside the rows; one row of cells per
    // position, one cell per column), keeping the ids. Every new key of an
    // index over a set column is checked first: of every unique index
    // against the other rows and among the changed rows (a clash fails with
    // "unique constraint violated: duplicate key {}"), then for its length
    // (check_row_index_key); a refusal changes nothing. Then only the index
    // entries whose key changed move; the primary-key index follows when a
    // Pk value changed. On success the cells trade places by relocation:
    // `cells` holds the values the rows had, texts borrowed from the table's
    // arena still borrowed (so they must not outlive the table); on failure
    // `cells` is as given.
    Status update_rows(std::string_view table, std::span<const size_t> positions, std::span<const size_t> columns,
                       FlatRows& cells);
    // Removes the rows at `positions` (ascending, distinct) with their ids
    // and index entries and returns them in that order, relocated
    // (FlatRows::remove: they must not outlive the table); next_rowid stays.
    // Each index loses its entries in one pass over its keys, sorted; an
    // index that did not hold a row's id under the row's key is marked as
    // possibly holding stale ids (the next INSERT's unique purge walks it).
    FlatRows delete_rows(std::string_view table, std::span<const size_t> positions);
    // Puts removed rows back at the positions they had (ascending, as given
    // to delete_rows) under their ids, and rebuilds the table's indexes.
    void restore_deleted_rows(std::string_view table, std::span<const size_t> positions,
                              std::span<const uint64_t> ids, std::vector<Row> rows);
    // Removes the table's last `count` rows and their ids from the table and
    // the secondary indexes and rebuilds the primary-key index; next_rowid
    // stays. Nothing happens for 0 or more than the row count.
    void truncate_table_rows(std::string_view table, size_t count);

private:
    const TableVersion* lent(std::string_view name) const;
};

}  // namespace zembrel
