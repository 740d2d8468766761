// Delete without rebalancing, freeing whole trees, building interior levels
// over bulk-loaded leaves, and joining two trees.

#include "types/text_format.h"
#include <unordered_set>

#include "bptree/bptree.h"
#include "bptree/tree_io.h"

namespace zembrel {

using namespace bpt;

Result<bool> BPlusTree::delete_key(Pager& pager, uint64_t root, ByteSpan key) {
    PageIndex idx;
    auto leaf = descend(PageSource{&pager, nullptr}, root, key, idx);
    if (!leaf) return std::unexpected(leaf.error());
    const size_t usable = pager.usable_page_size();
    auto ref = pager.read_page(*leaf);  // the page descend just indexed
    if (!ref) return std::unexpected(ref.error());
    const uint8_t* p = ref->data();
    size_t pos = lower_bound(p, idx, key);
    if (pos == idx.cells.size() || compare_keys(cell_key(p, kLeafType, idx.cells[pos]), key) != 0) return false;

    const CellRef gone = idx.cells[pos];
    bool chained = leaf_cell_overflow(p, gone);
    uint64_t first = chained ? leaf_cell_first_overflow(p, gone) : 0;
    uint32_t length = leaf_cell_value_len(p, gone);

    splice_cells(ref->mutable_data(), usable, idx, pos, 1, {});
    ref->release();
    if (chained) {
        auto st = free_chain(pager, first, length, nullptr);
        if (!st) return std::unexpected(st.error());
    }
    return true;
}

Status BPlusTree::free_tree(Pager& pager, uint64_t root) {
    const size_t usable = pager.usable_page_size();
    // Every page is freed once: a damaged tree that reaches a page twice
    // would otherwise put it on the free list twice.
    std::unordered_set<uint64_t> seen;
    struct Frame {
        uint64_t page;
        std::vector<uint64_t> children;
        size_t next = 0;
    };
    std::vector<Frame> stack;
    PageBuf buf;

    // Reads `page`: a leaf is freed at once (chains first), an interior page
    // is pushed so that its children go first.
    auto visit = [&](uint64_t page) -> Status {
        if (!seen.insert(page).second) return damaged(page, "page is reachable twice");
        auto st = pager.read_page_into(page, buf);
        if (!st) return st;
        PageIndex idx;
        if (auto indexed = index_page(buf.data(), usable, page, idx); !indexed) return std::unexpected(indexed.error());
        if (idx.type == kLeafType) {
            for (const CellRef& c : idx.cells) {
                if (!leaf_cell_overflow(buf.data(), c)) continue;
                auto fc = free_chain(pager, leaf_cell_first_overflow(buf.data(), c), leaf_cell_value_len(buf.data(), c),
                                     &seen);
                if (!fc) return fc;
            }
            return pager.free_page(page);
        }
        Frame f{page, {}, 0};
        f.children.reserve(idx.cells.size() + 1);
        for (const CellRef& c : idx.cells) f.children.push_back(interior_child(buf.data(), c));
        f.children.push_back(idx.link);
        stack.push_back(std::move(f));
        return {};
    };

    if (auto st = visit(root); !st) return st;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next < top.children.size()) {
            uint64_t child = top.children[top.next++];
            if (auto st = visit(child); !st) return st;  // may push: `top` is not used after this
            continue;
        }
        uint64_t page = top.page;
        stack.pop_back();
        if (auto st = pager.free_page(page); !st) return st;
    }
    return {};
}

Result<uint64_t> BPlusTree::finish_bulk_load(Pager& pager, std::vector<BulkEntry> entries) {
    if (entries.empty()) return storage_error("bulk load has no leaves");
    const size_t usable = pager.usable_page_size();
    while (entries.size() > 1) {
        std::vector<BulkEntry> above;
        size_t i = 0;
        while (i < entries.size()) {
            // One node: its first entry's page is the pending child; each
            // further entry adds (its key, pending child) while that fits.
            std::vector<uint8_t> first_key = std::move(entries[i].first);
            uint64_t pending = entries[i].second;
            std::vector<uint8_t> cells;
            std::vector<size_t> sizes;
            ++i;
            while (i < entries.size() &&
                   kHeaderSize + cells.size() + kInteriorCellHead + entries[i].first.size() <= usable) {
                if (entries[i].first.size() > kMaxKeyLen) {
                    return storage_error(
                        zembrel::format("key length {} exceeds maximum {}", entries[i].first.size(), kMaxKeyLen));
                }
                encode_interior_cell(cells, entries[i].first, pending);
                sizes.push_back(kInteriorCellHead + entries[i].first.size());
                pending = entries[i].second;
                ++i;
            }
            auto page = new_page(pager, kInteriorType, pending, cell_spans(cells, sizes));
            if (!page) return std::unexpected(page.error());
            above.emplace_back(std::move(first_key), *page);
        }
        entries = std::move(above);
    }
    return entries.front().second;
}

Result<uint64_t> BPlusTree::join_roots(Pager& pager, uint64_t left_root, uint64_t right_root) {
    auto leaf = leftmost_leaf_page(pager, right_root);
    if (!leaf) return std::unexpected(leaf.error());
    const size_t usable = pager.usable_page_size();
    std::vector<uint8_t> cell;
    {
        auto ref = pager.read_page(*leaf);
        if (!ref) return std::unexpected(ref.error());
        PageIndex idx;
        if (auto indexed = index_leaf(ref->data(), usable, *leaf, idx); !indexed) return std::unexpected(indexed.error());
        if (idx.cells.empty()) return storage_error("empty tree has no leftmost key");
        encode_interior_cell(cell, cell_key(ref->data(), kLeafType, idx.cells[0]), left_root);
    }
    ByteSpan images[1] = {cell};
    return new_page(pager, kInteriorType, right_root, images);
}

Result<uint64_t> BPlusTree::append_tree(Pager& pager, uint64_t left_root, uint64_t right_root) {
    // An empty side is at most one leaf page, and the caller replaces its
    // references to both roots by the result: a page the result does not
    // keep goes back to the free list instead of leaking on every append.
    // A missing tree (root 0) never displaces a real leaf.
    if (right_root == 0) return left_root;
    if (left_root == 0 || left_root == right_root) return right_root;
    auto left_empty = is_empty(pager, left_root);
    if (!left_empty) return std::unexpected(left_empty.error());
    if (*left_empty) {
        if (auto st = pager.free_page(left_root); !st) return std::unexpected(st.error());
        return right_root;
    }
    auto right_empty = is_empty(pager, right_root);
    if (!right_empty) return std::unexpected(right_empty.error());
    if (*right_empty) {
        if (auto st = pager.free_page(right_root); !st) return std::unexpected(st.error());
        return left_root;
    }

    const size_t usable = pager.usable_page_size();
    // The left tree's right-most leaf, always taking the right-most child.
    uint64_t last = left_root;
    PageBuf buf;
    for (uint64_t level = 0;; ++level) {
        if (level > pager.page_count()) return damaged(left_root, "descent does not reach a leaf");
        auto st = pager.read_page_into(last, buf);
        if (!st) return std::unexpected(st.error());
        PageIndex idx;
        if (auto indexed = index_page(buf.data(), usable, last, idx); !indexed) return std::unexpected(indexed.error());
        if (idx.type == kLeafType) break;
        last = idx.link;
    }
    auto first = leftmost_leaf_page(pager, right_root);
    if (!first) return std::unexpected(first.error());
    // Check the right tree has a first key before linking anything, so a
    // failed join leaves the left tree's chain as it was.
    {
        auto ref = pager.read_page(*first);
        if (!ref) return std::unexpected(ref.error());
        PageIndex idx;
        if (auto indexed = index_leaf(ref->data(), usable, *first, idx); !indexed) return std::unexpected(indexed.error());
        if (idx.cells.empty()) return storage_error("empty tree has no leftmost key");
    }
    {
        auto ref = pager.read_page(last);
        if (!ref) return std::unexpected(ref.error());
        put_u64(ref->mutable_data() + 4, *first);
    }
    return join_roots(pager, left_root, right_root);
}

}  // namespace zembrel
