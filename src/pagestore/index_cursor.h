// A forward walk over one index tree of the page store, entry by entry in
// key order, each entry decoded into its indexed values and row id.
//
// Index tree entry (see index_store.cpp):
//   key    the key encodings of the indexed values in index column order,
//          then the key encoding of Int(row id) (9 bytes)
//   value  empty
// Entries with equal values are therefore ordered by row id. An entry may be
// stale (its row gone from the table tree, or changed since): the reader of
// an entry checks the row it names.
//
// Errors: the B+tree's and the key decoder's Storage errors, unchanged; a
// row id below 1 is a damaged entry ("index '{}' holds an entry with row id
// {}"). Borrows the store's pager, which must outlive the cursor; changes to
// the index while the cursor is open may or may not be seen.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bptree/bptree.h"
#include "pagestore/page_store.h"
#include "types/error.h"
#include "types/value.h"

namespace zembrel {

struct IndexEntry {
    std::vector<Value> values;  // one per indexed column
    uint64_t rowid = 0;
};

class IndexCursor {
public:
    // A cursor over the named index of the table, at the first entry whose
    // key is not below `start` (the first entry of the tree without one).
    // None when the table or the index is not in the catalog. With
    // `interiors` (which must outlive the cursor) descents read the interior
    // pages through it.
    static Result<std::optional<IndexCursor>> open(PageStore& store, const std::string& table,
                                                   const std::string& index,
                                                   std::optional<std::span<const uint8_t>> start,
                                                   InteriorPages* interiors = nullptr);

    // Moves to the first entry whose key is not below `start`: within the
    // leaf in hand when it holds the place (from the entry in hand on),
    // else by a new descent.
    Status seek(PageStore& store, std::span<const uint8_t> start);

    // The next entry, nothing at the end.
    Result<std::optional<IndexEntry>> next();
    // The same into `entry` (its values' capacity reused): false at the end.
    Result<bool> next_into(IndexEntry& entry);

    // The same for a walk over the entries of one key whose encoding is
    // `prefix`: an entry that is `prefix` and its row id alone sets only
    // `entry.rowid` (its values are the key's) and gives SameKey; any other
    // is decoded whole (Decoded).
    enum class Next { End, SameKey, Decoded };
    Result<Next> next_after_prefix(std::span<const uint8_t> prefix, IndexEntry& entry);

    // For a pass over the whole index: see BPlusTreeCursor::read_ahead.
    void read_ahead() { cursor_.read_ahead(); }

    // Positions of the indexed columns in the table's rows.
    const std::vector<size_t>& positions() const { return positions_; }

private:
    // The entry's row id, checked: ids are handed out from 1, so a key
    // decoding to 0 or to a negative Int was not written by the store.
    Status check_rowid(uint64_t rowid) const;
    IndexCursor(BPlusTreeCursor cursor, std::string index, std::vector<size_t> positions, uint64_t root,
                InteriorPages* interiors)
        : cursor_(std::move(cursor)), index_(std::move(index)), positions_(std::move(positions)), root_(root),
          interiors_(interiors) {}
    // A cursor at `start` (the tree's first entry without one).
    static Result<BPlusTreeCursor> descend(PageStore& store, uint64_t root, std::optional<bpt::ByteSpan> start,
                                           InteriorPages* interiors);
    BPlusTreeCursor cursor_;
    std::string index_;
    std::vector<size_t> positions_;
    uint64_t root_ = 0;
    InteriorPages* interiors_ = nullptr;
};

}  // namespace zembrel
