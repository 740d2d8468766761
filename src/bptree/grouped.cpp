// Grouped writes: many edits in key order, leaf by leaf. A descent notes the
// least separator key above the leaf it reaches; every further edit below
// that key lands in the same leaf, which stays pinned while they are spliced
// in. Each edit does exactly what insert or delete_key would do at that
// leaf, in the same order of page allocations and frees, so the tree comes
// out page for page the same.

#include <algorithm>
#include <array>

#include "bptree/bptree.h"
#include "bptree/tree_io.h"

namespace zembrel {

using namespace bpt;

namespace {

// The interior pages of the last descent, by level, as indexed then. Only a
// split changes interior pages (a leaf edit, an erase and an overflow chain
// leave them be), so these stay true until the next split, which forgets
// them; each later descent then indexes a page only where its path parts
// from the last one.
struct DescentPath {
    struct Level {
        uint64_t page = 0;
        PageIndex idx;
    };
    std::vector<Level> levels;
    size_t known = 0;  // levels[0, known) hold real entries

    void forget() { known = 0; }
};

// The leaf that holds `key`, pinned and indexed; `fence` receives the least
// separator above it (none: the leaf ends the tree).
Result<PageRef> leaf_for(Pager& pager, uint64_t root, ByteSpan key, PageIndex& idx,
                         std::optional<std::vector<uint8_t>>& fence, DescentPath& path) {
    const size_t usable = pager.usable_page_size();
    fence.reset();
    uint64_t page = root;
    for (uint64_t level = 0;; ++level) {
        if (level > pager.page_count()) return damaged(root, "descent does not reach a leaf");
        auto ref = pager.read_page(page);
        if (!ref) return std::unexpected(ref.error());
        const uint8_t* p = ref->data();
        const PageIndex* at = nullptr;
        if (level < path.known && path.levels[level].page == page) {
            at = &path.levels[level].idx;
        } else {
            if (auto indexed = index_page(p, usable, page, idx); !indexed) return std::unexpected(indexed.error());
            if (idx.type == kLeafType) {
                path.known = std::min<size_t>(path.known, level);
                return std::move(*ref);
            }
            if (path.levels.size() <= level) path.levels.resize(level + 1);
            path.levels[level].page = page;
            std::swap(path.levels[level].idx, idx);
            path.known = level + 1;
            at = &path.levels[level].idx;
        }
        const size_t choice = upper_bound(p, *at, key);
        if (choice < at->cells.size()) {
            ByteSpan separator = cell_key(p, kInteriorType, at->cells[choice]);
            if (!fence || compare_keys(separator, *fence) < 0) fence.emplace(separator.begin(), separator.end());
        }
        page = choice < at->cells.size() ? interior_child(p, at->cells[choice]) : at->link;
    }
}

}  // namespace

Result<uint64_t> BPlusTree::apply_sorted(Pager& pager, uint64_t root, std::span<const TreeEdit> edits) {
    const size_t usable = pager.usable_page_size();
    std::array<uint8_t, kMaxInlineCell> inline_cell;
    std::vector<uint8_t> chained_cell;
    std::optional<std::vector<uint8_t>> fence;
    PageIndex idx;
    DescentPath path;
    size_t i = 0;
    while (i < edits.size()) {
        auto leaf = leaf_for(pager, root, edits[i].key, idx, fence, path);
        if (!leaf) return std::unexpected(leaf.error());
        bool descend_again = false;
        while (i < edits.size() && !descend_again && (!fence || compare_keys(edits[i].key, *fence) < 0)) {
            const TreeEdit& edit = edits[i++];
            const uint8_t* p = leaf->data();
            const size_t pos = lower_bound(p, idx, edit.key);
            const bool found = pos < idx.cells.size() && compare_keys(cell_key(p, kLeafType, idx.cells[pos]), edit.key) == 0;
            if (edit.erase) {
                if (!found) continue;
                const CellRef gone = idx.cells[pos];
                const bool chained = leaf_cell_overflow(p, gone);
                const uint64_t first = chained ? leaf_cell_first_overflow(p, gone) : 0;
                const uint32_t length = leaf_cell_value_len(p, gone);
                splice_cells_indexed(leaf->mutable_data(), usable, idx, pos, 1, {});
                if (chained) {
                    if (auto st = free_chain(pager, first, length, nullptr); !st) return std::unexpected(st.error());
                }
                continue;
            }
            auto encoded = encode_cell(pager, edit.key, edit.value, inline_cell, chained_cell);
            if (!encoded) return std::unexpected(encoded.error());
            p = leaf->data();
            const size_t replaced = found ? idx.cells[pos].size : 0;
            if (idx.used - replaced + encoded->size() > usable) {
                // A split: insert's own road, from the root.
                leaf->release();
                path.forget();
                auto next = insert_cell(pager, root, edit.key, *encoded);
                if (!next) return std::unexpected(next.error());
                root = *next;
                descend_again = true;
                break;
            }
            if (found && leaf_cell_overflow(p, idx.cells[pos])) {
                auto st = free_chain(pager, leaf_cell_first_overflow(p, idx.cells[pos]),
                                     leaf_cell_value_len(p, idx.cells[pos]), nullptr);
                if (!st) return std::unexpected(st.error());
            }
            splice_cells_indexed(leaf->mutable_data(), usable, idx, pos, found ? 1 : 0, *encoded);
        }
    }
    return root;
}

}  // namespace zembrel
