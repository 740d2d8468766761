// Insert with leaf and interior splits. The descent records the path of
// interior pages, so the splits climb back up without recursion (trees
// joined by append_tree can be deep). Split points are chosen by bytes so
// that both halves always fit their pages, whatever the mix of cell sizes.

#include <cstring>
#include "types/text_format.h"

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

// Copies the usable part of an assembled image into the pinned page.
void store(PageRef& ref, const PageBuf& image, size_t usable) {
    std::memcpy(ref.mutable_data(), image.data(), usable);
}

Status store_new(Pager& pager, uint64_t page, const PageBuf& image, size_t usable) {
    auto ref = pager.read_page(page);
    if (!ref) return std::unexpected(ref.error());
    store(*ref, image, usable);
    return {};
}

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

// `leaf` is pinned by the caller for the whole call.
Result<std::optional<Split>> insert_into_leaf(Pager& pager, PageRef& leaf, ByteSpan key, const LeafCell& cell) {
    const size_t usable = pager.usable_page_size();
    const uint64_t page = leaf.page_no();
    const uint8_t* p = leaf.data();
    auto idx = index_leaf(p, usable, page);
    if (!idx) return std::unexpected(idx.error());
    const size_t n = idx->cells.size();
    size_t pos = lower_bound(p, *idx, key);
    bool replace = pos < n && compare_keys(cell_key(p, kLeafType, idx->cells[pos]), key) == 0;

    std::vector<uint8_t> encoded;
    encode_leaf_cell(encoded, cell);
    std::vector<ByteSpan> images;
    images.reserve(n + 1);
    for (size_t i = 0; i < pos; ++i) images.push_back(cell_bytes(p, idx->cells[i]));
    images.push_back(encoded);
    for (size_t i = pos + (replace ? 1 : 0); i < n; ++i) images.push_back(cell_bytes(p, idx->cells[i]));

    if (replace && leaf_cell_overflow(p, idx->cells[pos])) {
        // The pin keeps `p` valid while the old chain goes to the free list.
        auto st = free_chain(pager, leaf_cell_first_overflow(p, idx->cells[pos]),
                             leaf_cell_value_len(p, idx->cells[pos]), nullptr);
        if (!st) return std::unexpected(st.error());
    }

    PageBuf left;
    if (total_of(images) <= usable) {
        assemble_page(left.data(), usable, kLeafType, idx->link, images);
        store(leaf, left, usable);
        return std::optional<Split>();
    }

    std::vector<size_t> sizes = sizes_of(images);
    size_t k = choose_leaf_split(sizes, usable);
    if (k == 0) return damaged(page, "its cells cannot be split into two pages");
    auto right_page = pager.allocate_page();
    if (!right_page) return std::unexpected(right_page.error());

    Split split;
    split.right = *right_page;
    ByteSpan first_right = images[k];
    size_t key_len = get_u16(first_right.data());
    split.separator.assign(first_right.begin() + kLeafCellHead,
                           first_right.begin() + static_cast<ptrdiff_t>(kLeafCellHead + key_len));

    PageBuf right;
    std::span<const ByteSpan> all(images);
    assemble_page(left.data(), usable, kLeafType, *right_page, all.first(k));
    assemble_page(right.data(), usable, kLeafType, idx->link, all.subspan(k));
    store(leaf, left, usable);
    auto st = store_new(pager, *right_page, right, usable);
    if (!st) return std::unexpected(st.error());
    return std::optional<Split>(std::move(split));
}

// Takes the child split below cell `choice` of interior page `page`.
Result<std::optional<Split>> insert_into_interior(Pager& pager, uint64_t page, size_t choice, const Split& below) {
    const size_t usable = pager.usable_page_size();
    auto ref = pager.read_page(page);
    if (!ref) return std::unexpected(ref.error());
    const uint8_t* p = ref->data();
    auto idx = index_interior(p, usable, page);
    if (!idx) return std::unexpected(idx.error());
    const size_t n = idx->cells.size();
    if (choice > n) return damaged(page, "changed under an insert");

    uint64_t chosen = choice < n ? interior_child(p, idx->cells[choice]) : idx->link;
    uint64_t right_child = idx->link;
    std::vector<uint8_t> new_cell;
    encode_interior_cell(new_cell, below.separator, chosen);
    std::vector<uint8_t> redirected;  // the cell that pointed at `chosen` now points at the new page
    std::vector<ByteSpan> images;
    images.reserve(n + 1);
    for (size_t i = 0; i < choice; ++i) images.push_back(cell_bytes(p, idx->cells[i]));
    images.push_back(new_cell);
    if (choice < n) {
        encode_interior_cell(redirected, cell_key(p, kInteriorType, idx->cells[choice]), below.right);
        images.push_back(redirected);
        for (size_t i = choice + 1; i < n; ++i) images.push_back(cell_bytes(p, idx->cells[i]));
    } else {
        right_child = below.right;
    }

    PageBuf left;
    if (total_of(images) <= usable) {
        assemble_page(left.data(), usable, kInteriorType, right_child, images);
        store(*ref, left, usable);
        return std::optional<Split>();
    }

    std::vector<size_t> sizes = sizes_of(images);
    size_t mid = choose_interior_split(sizes, usable);
    if (mid == 0) return damaged(page, "its cells cannot be split into two pages");
    auto right_page = pager.allocate_page();
    if (!right_page) return std::unexpected(right_page.error());

    // The middle cell leaves the page: its key goes up, its child becomes the
    // left page's right-most child.
    ByteSpan middle = images[mid];
    size_t key_len = get_u16(middle.data());
    uint64_t middle_child = get_u64(middle.data() + 2);
    Split split;
    split.right = *right_page;
    split.separator.assign(middle.begin() + kInteriorCellHead,
                           middle.begin() + static_cast<ptrdiff_t>(kInteriorCellHead + key_len));

    PageBuf right;
    std::span<const ByteSpan> all(images);
    assemble_page(left.data(), usable, kInteriorType, middle_child, all.first(mid));
    assemble_page(right.data(), usable, kInteriorType, right_child, all.subspan(mid + 1));
    store(*ref, left, usable);
    auto st = store_new(pager, *right_page, right, usable);
    if (!st) return std::unexpected(st.error());
    return std::optional<Split>(std::move(split));
}

}  // namespace

Result<uint64_t> BPlusTree::insert(Pager& pager, uint64_t root, ByteSpan key, ByteSpan value) {
    if (key.size() > kMaxKeyLen) {
        return storage_error(zembrel::format("key length {} exceeds maximum {}", key.size(), kMaxKeyLen));
    }
    auto cell = make_leaf_cell(pager, key, value);
    if (!cell) return std::unexpected(cell.error());

    const size_t usable = pager.usable_page_size();
    std::vector<PathStep> path;
    uint64_t page = root;
    std::optional<Split> split;
    for (uint64_t level = 0;; ++level) {
        if (level > pager.page_count()) return damaged(root, "descent does not reach a leaf");
        auto ref = pager.read_page(page);
        if (!ref) return std::unexpected(ref.error());
        auto idx = index_page(ref->data(), usable, page);
        if (!idx) return std::unexpected(idx.error());
        if (idx->type == kLeafType) {
            auto s = insert_into_leaf(pager, *ref, key, *cell);
            if (!s) return std::unexpected(s.error());
            split = std::move(*s);
            break;
        }
        size_t choice = upper_bound(ref->data(), *idx, key);
        path.push_back(PathStep{page, choice});
        page = choice < idx->cells.size() ? interior_child(ref->data(), idx->cells[choice]) : idx->link;
    }

    while (split && !path.empty()) {
        PathStep step = path.back();
        path.pop_back();
        auto s = insert_into_interior(pager, step.page, step.choice, *split);
        if (!s) return std::unexpected(s.error());
        split = std::move(*s);
    }
    if (!split) return root;

    auto new_root = pager.allocate_page();
    if (!new_root) return std::unexpected(new_root.error());
    std::vector<uint8_t> cell_image;
    encode_interior_cell(cell_image, split->separator, root);
    ByteSpan images[1] = {cell_image};
    PageBuf image;
    assemble_page(image.data(), usable, kInteriorType, split->right, images);
    auto st = store_new(pager, *new_root, image, usable);
    if (!st) return std::unexpected(st.error());
    return *new_root;
}

}  // namespace zembrel
