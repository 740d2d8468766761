// Bottom-up construction of a B+tree from (key, value) pairs that arrive in
// ascending key order: table rewrites, fresh runs of rows and index rebuilds.
// Every leaf is written once, with no splits and no searches.
//
// Cells are packed into the current leaf while 12 plus their sizes stays
// within the usable bytes of a page; the next cell that would not fit closes
// the leaf (linked to the next one) and starts a new leaf. A cell of more
// than 2000 bytes moves its value into an overflow chain first. The leaves'
// (first key, page) pairs go to BPlusTree::finish_bulk_load; one leaf is its
// own root; no pairs at all give one empty leaf.
//
// Ownership: borrows the Pager, which must outlive the loader. Thread: the
// pager's. The caller guarantees the key order (it is not checked).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "bptree/bptree.h"
#include "pager/pager.h"
#include "types/error.h"

namespace zembrel {

class BulkLoader {
public:
    explicit BulkLoader(Pager& pager);

    // Adds the next pair as BPlusTree::make_leaf_cell makes its cell, with
    // its refusals (a key longer than 1024 bytes: Storage "key length {}
    // exceeds maximum {}").
    Status add(std::span<const uint8_t> key, std::span<const uint8_t> value);
    // Writes the last leaf and builds the levels above; returns the root.
    // The loader is spent afterwards.
    Result<uint64_t> finish();

private:
    Status close_leaf(uint64_t next_leaf);

    Pager& pager_;
    size_t usable_;
    uint64_t page_ = 0;                  // page of the leaf being filled
    std::vector<uint8_t> cells_;         // encoded cells of that leaf
    std::vector<size_t> cell_sizes_;     // size of each cell in cells_
    std::vector<uint8_t> first_key_;
    std::vector<BulkEntry> leaves_;      // (first key, page) of closed leaves
};

}  // namespace zembrel
