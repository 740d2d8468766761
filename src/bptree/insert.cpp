// Insert with leaf and interior splits. The descent records the path of
// interior pages, so the splits climb back up without recursion (trees
// joined by append_tree can be deep). Split points are chosen by bytes so
// that both halves always fit their pages, whatever the mix of cell sizes.

#include <array>

#include "bptree/bptree.h"
#include "bptree/tree_io.h"

namespace zembrel {

using namespace bpt;

namespace {

struct Split {
    std::vector<uint8_t> separator;
    uint64_t right = 0;
};

struct PathStep {
    uint64_t page = 0;
    size_t choice = 0;  // cell index routed through; == cell count: right-most child
};

std::vector<size_t> sizes_of(const std::vector<ByteSpan>& images) {
    std::vector<size_t> sizes;
    sizes.reserve(images.size());
    for (ByteSpan c : images) sizes.push_back(c.size());
    return sizes;
}

size_t total_of(const std::vector<ByteSpan>& images) {
    size_t t = kHeaderSize;
    for (ByteSpan c : images) t += c.size();
    return t;
}

// `leaf` is pinned by the caller for the whole call; `idx` is its index and
// `encoded` the new cell's bytes (not on the page).
Result<std::optional<Split>> insert_into_leaf(Pager& pager, PageRef& leaf, const PageIndex& idx, ByteSpan key,
                                              ByteSpan encoded) {
    const size_t usable = pager.usable_page_size();
    const uint64_t page = leaf.page_no();
    const uint8_t* p = leaf.data();
    const size_t n = idx.cells.size();
    size_t pos = lower_bound(p, idx, key);
    bool replace = pos < n && compare_keys(cell_key(p, kLeafType, idx.cells[pos]), key) == 0;

    if (replace && leaf_cell_overflow(p, idx.cells[pos])) {
        // The pin keeps `p` valid while the old chain goes to the free list.
        auto st = free_chain(pager, leaf_cell_first_overflow(p, idx.cells[pos]),
                             leaf_cell_value_len(p, idx.cells[pos]), nullptr);
        if (!st) return std::unexpected(st.error());
    }

    const size_t removed = replace ? 1 : 0;
    if (idx.used - (replace ? idx.cells[pos].size : 0) + encoded.size() <= usable) {
        // The common case changes the page where it lies, with no copy of its cells.
        splice_cells(leaf.mutable_data(), usable, idx, pos, removed, encoded);
        return std::optional<Split>();
    }

    std::vector<ByteSpan> images;
    images.reserve(n + 1);
    for (size_t i = 0; i < pos; ++i) images.push_back(cell_bytes(p, idx.cells[i]));
    images.push_back(encoded);
    for (size_t i = pos + removed; i < n; ++i) images.push_back(cell_bytes(p, idx.cells[i]));

    std::vector<size_t> sizes = sizes_of(images);
    size_t k = choose_leaf_split(sizes, usable);
    if (k == 0) return damaged(page, "its cells cannot be split into two pages");

    Split split;
    ByteSpan first_right = images[k];
    size_t key_len = get_u16(first_right.data());
    split.separator.assign(first_right.begin() + kLeafCellHead,
                           first_right.begin() + static_cast<ptrdiff_t>(kLeafCellHead + key_len));

    // The right half is built while the left page still holds its cells.
    std::span<const ByteSpan> all(images);
    auto right_page = new_page(pager, kLeafType, idx.link, all.subspan(k));
    if (!right_page) return std::unexpected(right_page.error());
    split.right = *right_page;
    rewrite_page(leaf, usable, kLeafType, *right_page, all.first(k));
    return std::optional<Split>(std::move(split));
}

// Takes the child split below cell `choice` of interior page `page`.
Result<std::optional<Split>> insert_into_interior(Pager& pager, uint64_t page, size_t choice, const Split& below) {
    const size_t usable = pager.usable_page_size();
    auto ref = pager.read_page(page);
    if (!ref) return std::unexpected(ref.error());
    const uint8_t* p = ref->data();
    PageIndex idx;
    if (auto indexed = index_interior(p, usable, page, idx); !indexed) return std::unexpected(indexed.error());
    const size_t n = idx.cells.size();
    if (choice > n) return damaged(page, "changed under an insert");

    uint64_t chosen = choice < n ? interior_child(p, idx.cells[choice]) : idx.link;
    uint64_t right_child = idx.link;
    std::vector<uint8_t> new_cell;
    encode_interior_cell(new_cell, below.separator, chosen);
    std::vector<uint8_t> redirected;  // the cell that pointed at `chosen` now points at the new page
    std::vector<ByteSpan> images;
    images.reserve(n + 1);
    for (size_t i = 0; i < choice; ++i) images.push_back(cell_bytes(p, idx.cells[i]));
    images.push_back(new_cell);
    if (choice < n) {
        encode_interior_cell(redirected, cell_key(p, kInteriorType, idx.cells[choice]), below.right);
        images.push_back(redirected);
        for (size_t i = choice + 1; i < n; ++i) images.push_back(cell_bytes(p, idx.cells[i]));
    } else {
        right_child = below.right;
    }

    if (total_of(images) <= usable) {
        rewrite_page(*ref, usable, kInteriorType, right_child, images);
        return std::optional<Split>();
    }

    std::vector<size_t> sizes = sizes_of(images);
    size_t mid = choose_interior_split(sizes, usable);
    if (mid == 0) return damaged(page, "its cells cannot be split into two pages");

    // The middle cell leaves the page: its key goes up, its child becomes the
    // left page's right-most child.
    ByteSpan middle = images[mid];
    size_t key_len = get_u16(middle.data());
    uint64_t middle_child = get_u64(middle.data() + 2);
    Split split;
    split.separator.assign(middle.begin() + kInteriorCellHead,
                           middle.begin() + static_cast<ptrdiff_t>(kInteriorCellHead + key_len));

    // The right half is built while the left page still holds its cells.
    std::span<const ByteSpan> all(images);
    auto right_page = new_page(pager, kInteriorType, right_child, all.subspan(mid + 1));
    if (!right_page) return std::unexpected(right_page.error());
    split.right = *right_page;
    rewrite_page(*ref, usable, kInteriorType, middle_child, all.first(mid));
    return std::optional<Split>(std::move(split));
}

}  // namespace

namespace bpt {

Result<ByteSpan> encode_cell(Pager& pager, ByteSpan key, ByteSpan value, std::array<uint8_t, kMaxInlineCell>& inline_cell,
                             std::vector<uint8_t>& chained_cell) {
    if (key.size() <= kMaxKeyLen && value.size() <= BPlusTree::kMaxValueLen &&
        kLeafCellHead + key.size() + value.size() <= kMaxInlineCell)
        return ByteSpan(inline_cell.data(), encode_inline_leaf_cell(inline_cell.data(), key, value));
    auto cell = BPlusTree::make_leaf_cell(pager, key, value);  // checks the key and value lengths first
    if (!cell) return std::unexpected(cell.error());
    chained_cell.clear();
    encode_leaf_cell(chained_cell, *cell);
    return ByteSpan(chained_cell);
}

Result<uint64_t> insert_cell(Pager& pager, uint64_t root, ByteSpan key, ByteSpan encoded) {
    const size_t usable = pager.usable_page_size();
    std::vector<PathStep> path;
    uint64_t page = root;
    std::optional<Split> split;
    for (uint64_t level = 0;; ++level) {
        if (level > pager.page_count()) return damaged(root, "descent does not reach a leaf");
        auto ref = pager.read_page(page);
        if (!ref) return std::unexpected(ref.error());
        PageIndex idx;
        if (auto indexed = index_page(ref->data(), usable, page, idx); !indexed) return std::unexpected(indexed.error());
        if (idx.type == kLeafType) {
            auto s = insert_into_leaf(pager, *ref, idx, key, encoded);
            if (!s) return std::unexpected(s.error());
            split = std::move(*s);
            break;
        }
        size_t choice = upper_bound(ref->data(), idx, key);
        path.push_back(PathStep{page, choice});
        page = choice < idx.cells.size() ? interior_child(ref->data(), idx.cells[choice]) : idx.link;
    }

    while (split && !path.empty()) {
        PathStep step = path.back();
        path.pop_back();
        auto s = insert_into_interior(pager, step.page, step.choice, *split);
        if (!s) return std::unexpected(s.error());
        split = std::move(*s);
    }
    if (!split) return root;

    std::vector<uint8_t> cell_image;
    encode_interior_cell(cell_image, split->separator, root);
    ByteSpan images[1] = {cell_image};
    return new_page(pager, kInteriorType, split->right, images);
}

}  // namespace bpt

Result<uint64_t> BPlusTree::insert(Pager& pager, uint64_t root, ByteSpan key, ByteSpan value) {
    // An inline cell is encoded straight from the caller's bytes; a larger
    // value goes to its overflow chain first, as make_leaf_cell stores it.
    std::array<uint8_t, kMaxInlineCell> inline_cell;
    std::vector<uint8_t> chained_cell;
    auto encoded = encode_cell(pager, key, value, inline_cell, chained_cell);
    if (!encoded) return std::unexpected(encoded.error());
    return insert_cell(pager, root, key, *encoded);
}

}  // namespace zembrel
