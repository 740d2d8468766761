// B+trees in the pages of a Pager: the ordered structure behind the catalog,
// every table and every index. A tree is named by its root page number; byte
// keys (at most 1024 bytes) in plain byte order; values inline while the leaf
// cell stays within 2000 bytes, else in a chain of overflow pages. Inserts
// split from the leaves up and may return a new root; deletes never
// rebalance. Page layouts: page_layout.h.
//
// Every operation descends page by page (never assuming a uniform depth), so
// trees joined by append_tree, whose leaves lie at different depths, work
// everywhere. Descents and walks are iterative and bounded by the pager's page
// count, so a damaged tree that loops gives a Storage error, not a hang.
//
// Errors are Storage errors: the tree's own texts ("key length {} exceeds
// maximum {}", "invalid b+tree page type: {}", "page {} is not a leaf",
// "page {} is not an interior node", "overflow chain truncated", "cannot
// free invalid page {}", "empty tree has no leftmost key", "value length {}
// exceeds maximum {}", "b+tree page {} is damaged: ...") and the pager's
// texts unchanged. A failed operation may leave pages it already wrote dirty.
//
// Threads and lifetime: all calls run on the thread that owns the Pager. A
// cursor refers to its Pager (or PagerSnapshot), which must outlive it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bptree/page_layout.h"
#include "pager/pager.h"
#include "types/error.h"

namespace zembrel {

struct KeyValue {
    std::vector<uint8_t> key;
    std::vector<uint8_t> value;
};

struct LeafNode {
    std::vector<LeafCell> cells;
    uint64_t next_leaf = 0;
};

struct InteriorNode {
    std::vector<InteriorCell> cells;
    uint64_t right_child = 0;
};

// First page and length of a value written to an overflow chain.
struct OverflowChain {
    uint64_t first_page = 0;
    uint32_t length = 0;
};

// (first key, page) of one node of a level, for finish_bulk_load.
using BulkEntry = std::pair<std::vector<uint8_t>, uint64_t>;

// Interior pages of one Pager's trees, each read and its cell index parsed
// once, for readers that descend again and again. It holds copies, true
// only while those pages stay unchanged: its owner drops it at the first
// write. Nodes never move while the cache lives. Not thread-safe.
class InteriorPages {
public:
    struct Node {
        PageBuf page;
        bpt::PageIndex index;
    };
    // The cached node of `page`, nullptr when not cached.
    const Node* find(uint64_t page) const {
        auto it = nodes_.find(page);
        return it == nodes_.end() ? nullptr : it->second.get();
    }
    // Validates and caches the interior page read into `bytes`.
    Result<const Node*> add(uint64_t page, const PageBuf& bytes, size_t usable);

private:
    std::unordered_map<uint64_t, std::unique_ptr<Node>> nodes_;
};

// An interior page passed on the way down, and the key every key below it
// is smaller than (none: no bound); the span lies in a cached node.
struct InteriorLevel {
    uint64_t page;
    std::optional<bpt::ByteSpan> upper;
};

// A forward cursor along the leaf chain. It reads a leaf once when it
// arrives there and walks a private copy of it, so changes made to the tree
// while a cursor is open may or may not be seen by it (never unsafely).
class BPlusTreeCursor {
public:
    // A cursor on `leaf` (0 = already at the end) at cell `position`.
    BPlusTreeCursor(Pager& pager, uint64_t leaf, size_t position);
    // The same over a read snapshot (see BPlusTree::read_leaf_snapshot).
    BPlusTreeCursor(const PagerSnapshot& snapshot, uint64_t leaf, size_t position);

    // The next (key, value) in key order, nothing at the end. Empty leaves
    // are passed over; overflow values are read whole.
    Result<std::optional<KeyValue>> next();
    // The same without copies: false at the end, else `key` and `value` view
    // the next cell's bytes until the cursor moves again or goes away.
    Result<bool> next_view(bpt::ByteSpan& key, bpt::ByteSpan& value);

    // Moves to the first cell not smaller than `key` when the leaf in hand
    // holds it: above its first key and at most its last. False (the cursor
    // unmoved) otherwise; then only a new descent finds the place.
    bool seek_within(bpt::ByteSpan key);

    uint64_t leaf_page() const { return leaf_; }
    size_t position() const { return pos_; }

    // For a pass over the whole tree: leaves that follow each other in the
    // page file are read several at a time past the pager's cache
    // (Pager::read_pages_ahead), which they then do not fill; the cursor
    // holds up to 256 KiB for them. Errors and what is read stay the same.
    // A snapshot cursor ignores it.
    void read_ahead() { ahead_ = true; }

private:
    friend class BPlusTree;
    Status load_leaf();
    // The current leaf's bytes from the run read ahead, read a new run if
    // it lies outside; nullptr when it must be read alone.
    const uint8_t* leaf_from_run();

    Pager* pager_ = nullptr;
    const PagerSnapshot* snapshot_ = nullptr;
    uint64_t leaf_ = 0;
    size_t pos_ = 0;
    uint64_t hops_ = 0;                 // leaves visited; bounded by the page count
    bool loaded_ = false;               // page_ and index_ hold leaf_
    std::unique_ptr<PageBuf> page_;     // copy of the current leaf, when read alone
    const uint8_t* data_ = nullptr;     // the current leaf's bytes, when loaded
    bool ahead_ = false;
    std::vector<uint8_t> run_;          // pages run_first_ .. + run_count_ read ahead
    uint64_t run_first_ = 0;
    size_t run_count_ = 0;
    size_t run_hits_ = 0;               // leaves served from the run in hand
    size_t run_pages_ = 8;              // the next run's length
    std::vector<uint8_t> overflow_;     // the last overflow value next_view read
    bpt::PageIndex index_;
};

// One change of a grouped write: put (key, value), or with `erase` remove the
// key. The bytes are borrowed for the call.
struct TreeEdit {
    bpt::ByteSpan key;
    bpt::ByteSpan value;
    bool erase = false;
};

class BPlusTree {
public:
    static constexpr size_t kMaxKeyLen = bpt::kMaxKeyLen;
    static constexpr size_t kMaxInlineCell = bpt::kMaxInlineCell;
    static constexpr uint64_t kMaxValueLen = 0xFFFFFFFFull;

    // Inserts `key`, or replaces the value of an equal key; returns the root
    // (a new page when the old root split).
    static Result<uint64_t> insert(Pager& pager, uint64_t root, bpt::ByteSpan key, bpt::ByteSpan value);
    // Removes `key`; false (and nothing written) when absent. The root never
    // changes and nothing is rebalanced.
    static Result<bool> delete_key(Pager& pager, uint64_t root, bpt::ByteSpan key);
    // Applies edits sorted by key (ascending; an absent key's erase does
    // nothing) and returns the root: the very pages that insert and
    // delete_key give one edit after the other, but each leaf is reached
    // once for the run of edits it takes. An edit that splits its leaf takes
    // insert's road and the next edit descends from the root again.
    static Result<uint64_t> apply_sorted(Pager& pager, uint64_t root, std::span<const TreeEdit> edits);

    // The leaf that would hold `key`, or the left-most leaf without a key.
    static Result<uint64_t> find_leaf(Pager& pager, uint64_t root, std::optional<bpt::ByteSpan> key);
    // A cursor at the first cell whose key is not smaller than `key` (the
    // first cell of the tree without a key).
    static Result<BPlusTreeCursor> seek(Pager& pager, uint64_t root, std::optional<bpt::ByteSpan> key);
    // The same, the interior pages read through `interiors`.
    static Result<BPlusTreeCursor> seek(Pager& pager, InteriorPages& interiors, uint64_t root, bpt::ByteSpan key);
    // From `page` (whose keys all lie below `upper`) down to the leaf that
    // would hold `key`: interior pages through `interiors`, each appended
    // to `path`; the leaf copied into `leaf` and its cells indexed into
    // `leaf_index`. Returns the leaf's number. A path longer than the page
    // count is damage to the tree at `root`.
    static Result<uint64_t> descend_cached(Pager& pager, InteriorPages& interiors, uint64_t root, uint64_t page,
                                           std::optional<bpt::ByteSpan> upper, bpt::ByteSpan key,
                                           std::vector<InteriorLevel>& path, PageBuf& leaf,
                                           bpt::PageIndex& leaf_index);

    // Serialize into an existing page, marking it dirty. The cells must fit
    // (12 plus their sizes within the usable bytes) and keys be at most 1024
    // bytes; otherwise a Storage error and nothing is written.
    static Status write_leaf(Pager& pager, uint64_t page, std::span<const LeafCell> cells, uint64_t next_leaf);
    static Status write_interior(Pager& pager, uint64_t page, std::span<const InteriorCell> cells,
                                 uint64_t right_child);
    static Result<LeafNode> read_leaf(Pager& pager, uint64_t page);
    static Result<InteriorNode> read_interior(Pager& pager, uint64_t page);

    // The leaf cell for (key, value) as insert and the bulk loaders store it:
    // checks the key and value lengths and moves a value whose cell would
    // exceed 2000 bytes into a new overflow chain.
    static Result<LeafCell> make_leaf_cell(Pager& pager, bpt::ByteSpan key, bpt::ByteSpan value);

    // Overflow chains. An empty value needs no page (first page 0).
    static Result<OverflowChain> write_overflow(Pager& pager, bpt::ByteSpan value);
    // The value of a cell: a copy of inline bytes, or the chain's bytes.
    static Result<std::vector<uint8_t>> read_overflow(Pager& pager, const LeafCell& cell);
    static Result<std::vector<uint8_t>> read_overflow(const PagerSnapshot& snapshot, const LeafCell& cell);
    static Status free_overflow(Pager& pager, const LeafCell& cell);

    // Returns every page of the tree (and of its overflow chains) to the
    // free list.
    static Status free_tree(Pager& pager, uint64_t root);

    // Builds the interior levels over leaves the caller filled and linked in
    // key order; returns the root (a single leaf is its own root). An empty
    // list is refused.
    static Result<uint64_t> finish_bulk_load(Pager& pager, std::vector<BulkEntry> entries);

    // True when the root is 0 or a leaf without cells (an interior root is
    // never empty, even when all its leaves are).
    static Result<bool> is_empty(Pager& pager, uint64_t root);
    // The number of cells along the leaf chain, read from each leaf's cell
    // index without decoding a value.
    static Result<uint64_t> count_entries(Pager& pager, uint64_t root);

    // Joins two trees when every key of the right one is greater than every
    // key of the left one; returns the new root. Either tree empty: the
    // other, and the empty one's leaf is freed (the caller stores the result
    // in place of both roots and must not use the freed one again). A root
    // of 0 is no tree and frees nothing.
    static Result<uint64_t> append_tree(Pager& pager, uint64_t left_root, uint64_t right_root);
    // The first cell's child at every interior page (the right-most child of
    // one without cells) down to a leaf.
    static Result<uint64_t> leftmost_leaf_page(Pager& pager, uint64_t root);
    // A new root with the one cell (right tree's first key, left root) and the
    // right root as right-most child.
    static Result<uint64_t> join_roots(Pager& pager, uint64_t left_root, uint64_t right_root);

    // Read snapshots: find_leaf without a key, and a cursor's next, reading
    // through the snapshot. A snapshot cursor is
    // BPlusTreeCursor(snapshot, leftmost_leaf_snapshot(...), 0).
    static Result<uint64_t> leftmost_leaf_snapshot(const PagerSnapshot& snapshot, uint64_t root);
    static Result<std::optional<KeyValue>> read_leaf_snapshot(BPlusTreeCursor& cursor) { return cursor.next(); }
};

}  // namespace zembrel
