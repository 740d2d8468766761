// Reading a tree: descents, the leaf-chain cursor (live and snapshot), and
// the whole-page read and write forms.

#include <algorithm>

#include "types/text_format.h"

#include "bptree/bptree.h"
#include "bptree/tree_io.h"

namespace zembrel {

using namespace bpt;

// ---- cursor -----------------------------------------------------------------

BPlusTreeCursor::BPlusTreeCursor(Pager& pager, uint64_t leaf, size_t position)
    : pager_(&pager), leaf_(leaf), pos_(position) {}

BPlusTreeCursor::BPlusTreeCursor(const PagerSnapshot& snapshot, uint64_t leaf, size_t position)
    : snapshot_(&snapshot), leaf_(leaf), pos_(position) {}

Status BPlusTreeCursor::load_leaf() {
    PageSource src{pager_, snapshot_};
    // Every leaf of a valid chain is a distinct page.
    if (++hops_ > src.page_count()) return damaged(leaf_, "leaf chain loops");
    const uint8_t* bytes = ahead_ && pager_ != nullptr ? leaf_from_run() : nullptr;
    if (bytes == nullptr) {
        if (!page_) page_ = std::make_unique<PageBuf>();
        auto st = src.read(leaf_, *page_);
        if (!st) return st;
        bytes = page_->data();
    }
    if (auto indexed = index_leaf(bytes, src.usable(), leaf_, index_); !indexed) {
        page_.reset();
        data_ = nullptr;
        return indexed;
    }
    data_ = bytes;
    loaded_ = true;
    return {};
}

const uint8_t* BPlusTreeCursor::leaf_from_run() {
    constexpr size_t kMostPages = 64;
    if (leaf_ >= run_first_ && leaf_ - run_first_ < run_count_) {
        ++run_hits_;
        return run_.data() + (leaf_ - run_first_) * kPageSize;
    }
    // Runs grow while the leaves follow each other and shrink to two pages
    // when they lie scattered, where a longer run would read pages in vain.
    if (run_count_ > 0) run_pages_ = std::clamp<size_t>(2 * (run_hits_ + 1), 2, kMostPages);
    run_.resize(run_pages_ * kPageSize);
    run_first_ = leaf_;
    run_count_ = pager_->read_pages_ahead(leaf_, std::span<uint8_t>(run_.data(), run_pages_ * kPageSize));
    run_hits_ = 0;
    return run_count_ > 0 ? run_.data() : nullptr;
}

bool BPlusTreeCursor::seek_within(ByteSpan key) {
    if (leaf_ == 0 || !loaded_ || index_.cells.empty()) return false;
    const uint8_t* p = data_;
    if (compare_keys(key, cell_key(p, kLeafType, index_.cells[0])) <= 0 ||
        compare_keys(key, cell_key(p, kLeafType, index_.cells[index_.cells.size() - 1])) > 0)
        return false;
    // Keys looked for one after another mostly rise: from the cell in hand.
    pos_ = lower_bound_from(p, index_, key, pos_);
    return true;
}

Result<std::optional<KeyValue>> BPlusTreeCursor::next() {
    ByteSpan key, value;
    auto got = next_view(key, value);
    if (!got) return std::unexpected(got.error());
    if (!*got) return std::optional<KeyValue>();
    KeyValue kv;
    kv.key.assign(key.begin(), key.end());
    if (value.data() == overflow_.data() && value.size() == overflow_.size()) kv.value = std::move(overflow_);
    else kv.value.assign(value.begin(), value.end());
    return std::optional<KeyValue>(std::move(kv));
}

Result<bool> BPlusTreeCursor::next_view(ByteSpan& key, ByteSpan& value) {
    while (leaf_ != 0) {
        if (!loaded_) {
            auto st = load_leaf();
            if (!st) return std::unexpected(st.error());
        }
        if (pos_ < index_.cells.size()) break;
        leaf_ = index_.link;
        pos_ = 0;
        loaded_ = false;
    }
    if (leaf_ == 0) return false;

    const CellRef& c = index_.cells[pos_++];
    const uint8_t* p = data_;
    key = cell_key(p, kLeafType, c);
    if (leaf_cell_overflow(p, c)) {
        auto v = read_chain(PageSource{pager_, snapshot_}, leaf_cell_first_overflow(p, c), leaf_cell_value_len(p, c));
        if (!v) return std::unexpected(v.error());
        overflow_ = std::move(*v);
        value = ByteSpan(overflow_.data(), overflow_.size());
    } else {
        value = leaf_inline_value(p, c);
    }
    return true;
}

// ---- descents ---------------------------------------------------------------

Result<uint64_t> BPlusTree::find_leaf(Pager& pager, uint64_t root, std::optional<ByteSpan> key) {
    return descend(PageSource{&pager, nullptr}, root, key);
}

Result<uint64_t> BPlusTree::leftmost_leaf_page(Pager& pager, uint64_t root) {
    return descend(PageSource{&pager, nullptr}, root, std::nullopt);
}

Result<uint64_t> BPlusTree::leftmost_leaf_snapshot(const PagerSnapshot& snapshot, uint64_t root) {
    return descend(PageSource{nullptr, &snapshot}, root, std::nullopt);
}

Result<BPlusTreeCursor> BPlusTree::seek(Pager& pager, uint64_t root, std::optional<ByteSpan> key) {
    BPlusTreeCursor cursor(pager, 0, 0);
    PageSource src{&pager, nullptr};
    auto leaf = descend(src, root, key, cursor.index_);
    if (!leaf) return std::unexpected(leaf.error());
    // The descent validated the leaf: the cursor takes a copy of its bytes
    // and that index, as load_leaf would have made them.
    cursor.leaf_ = *leaf;
    cursor.page_ = std::make_unique<PageBuf>();
    auto st = src.read(*leaf, *cursor.page_);
    if (!st) return std::unexpected(st.error());
    cursor.hops_ = 1;
    cursor.data_ = cursor.page_->data();
    cursor.loaded_ = true;
    if (key) cursor.pos_ = lower_bound(cursor.data_, cursor.index_, *key);
    return cursor;
}

Result<const InteriorPages::Node*> InteriorPages::add(uint64_t page, const PageBuf& bytes, size_t usable) {
    auto node = std::make_unique<Node>();
    node->page = bytes;
    if (auto st = index_interior(node->page.data(), usable, page, node->index); !st) return std::unexpected(st.error());
    const Node* out = node.get();
    nodes_[page] = std::move(node);
    return out;
}

Result<uint64_t> BPlusTree::descend_cached(Pager& pager, InteriorPages& interiors, uint64_t root, uint64_t page,
                                           std::optional<ByteSpan> upper, ByteSpan key,
                                           std::vector<InteriorLevel>& path, PageBuf& leaf, PageIndex& leaf_index) {
    // A valid tree never visits more levels than it has pages.
    while (path.size() <= pager.page_count()) {
        const InteriorPages::Node* node = interiors.find(page);
        if (node == nullptr) {
            if (auto st = pager.read_page_into(page, leaf); !st) return std::unexpected(st.error());
            if (leaf[0] == kLeafType) {
                if (auto st = index_leaf(leaf.data(), pager.usable_page_size(), page, leaf_index); !st)
                    return std::unexpected(st.error());
                return page;
            }
            if (leaf[0] != kInteriorType) {
                // The descents' own report of a page of neither kind.
                if (auto st = index_page(leaf.data(), pager.usable_page_size(), page, leaf_index); !st)
                    return std::unexpected(st.error());
            }
            auto added = interiors.add(page, leaf, pager.usable_page_size());
            if (!added) return std::unexpected(added.error());
            node = *added;
        }
        path.push_back(InteriorLevel{page, upper});
        const uint8_t* p = node->page.data();
        const size_t choice = upper_bound(p, node->index, key);
        if (choice < node->index.cells.size()) {
            upper = cell_key(p, kInteriorType, node->index.cells[choice]);
            page = interior_child(p, node->index.cells[choice]);
        } else {
            page = node->index.link;
        }
    }
    return damaged(root, "descent does not reach a leaf");
}

Result<BPlusTreeCursor> BPlusTree::seek(Pager& pager, InteriorPages& interiors, uint64_t root, ByteSpan key) {
    BPlusTreeCursor cursor(pager, 0, 0);
    cursor.page_ = std::make_unique<PageBuf>();
    std::vector<InteriorLevel> path;
    auto leaf = descend_cached(pager, interiors, root, root, std::nullopt, key, path, *cursor.page_, cursor.index_);
    if (!leaf) return std::unexpected(leaf.error());
    cursor.leaf_ = *leaf;
    cursor.hops_ = 1;
    cursor.data_ = cursor.page_->data();
    cursor.loaded_ = true;
    cursor.pos_ = lower_bound(cursor.data_, cursor.index_, key);
    return cursor;
}

Result<bool> BPlusTree::is_empty(Pager& pager, uint64_t root) {
    if (root == 0) return true;
    auto ref = pager.read_page(root);
    if (!ref) return std::unexpected(ref.error());
    PageIndex idx;
    if (auto indexed = index_page(ref->data(), pager.usable_page_size(), root, idx); !indexed) return std::unexpected(indexed.error());
    return idx.type == kLeafType && idx.cells.empty();
}

Result<uint64_t> BPlusTree::count_entries(Pager& pager, uint64_t root) {
    if (root == 0) return uint64_t{0};
    auto leaf = leftmost_leaf_page(pager, root);
    if (!leaf) return std::unexpected(leaf.error());
    uint64_t count = 0;
    uint64_t hops = 0;
    PageIndex idx;
    for (uint64_t page = *leaf; page != 0; page = idx.link) {
        // Every leaf of a valid chain is a distinct page.
        if (++hops > pager.page_count()) return damaged(page, "leaf chain loops");
        auto ref = pager.read_page(page);
        if (!ref) return std::unexpected(ref.error());
        if (auto indexed = index_leaf(ref->data(), pager.usable_page_size(), page, idx); !indexed)
            return std::unexpected(indexed.error());
        count += idx.cells.size();
    }
    return count;
}

// ---- whole pages ------------------------------------------------------------

Result<LeafNode> BPlusTree::read_leaf(Pager& pager, uint64_t page) {
    auto ref = pager.read_page(page);
    if (!ref) return std::unexpected(ref.error());
    PageIndex idx;
    if (auto indexed = index_leaf(ref->data(), pager.usable_page_size(), page, idx); !indexed) return std::unexpected(indexed.error());
    LeafNode node;
    node.next_leaf = idx.link;
    node.cells.reserve(idx.cells.size());
    for (const CellRef& c : idx.cells) node.cells.push_back(decode_leaf_cell(ref->data(), c));
    return node;
}

Result<InteriorNode> BPlusTree::read_interior(Pager& pager, uint64_t page) {
    auto ref = pager.read_page(page);
    if (!ref) return std::unexpected(ref.error());
    PageIndex idx;
    if (auto indexed = index_interior(ref->data(), pager.usable_page_size(), page, idx); !indexed) return std::unexpected(indexed.error());
    InteriorNode node;
    node.right_child = idx.link;
    node.cells.reserve(idx.cells.size());
    for (const CellRef& c : idx.cells) node.cells.push_back(decode_interior_cell(ref->data(), c));
    return node;
}

namespace {

Status write_cells(Pager& pager, uint64_t page, uint8_t type, uint64_t link, const std::vector<uint8_t>& bytes,
                   const std::vector<size_t>& sizes) {
    const size_t usable = pager.usable_page_size();
    if (kHeaderSize + bytes.size() > usable || sizes.size() > UINT16_MAX) {
        return storage_error(zembrel::format("cells of {} bytes do not fit in page {}", bytes.size(), page));
    }
    const std::vector<ByteSpan> images = cell_spans(bytes, sizes);
    auto ref = pager.read_page(page);
    if (!ref) return std::unexpected(ref.error());
    assemble_page(ref->mutable_data(), usable, type, link, images);  // the cells live in `bytes`, not on the page
    return {};
}

Status check_key(size_t len) {
    if (len > kMaxKeyLen) return storage_error(zembrel::format("key length {} exceeds maximum {}", len, kMaxKeyLen));
    return {};
}

}  // namespace

Status BPlusTree::write_leaf(Pager& pager, uint64_t page, std::span<const LeafCell> cells, uint64_t next_leaf) {
    std::vector<uint8_t> bytes;
    std::vector<size_t> sizes;
    sizes.reserve(cells.size());
    for (const LeafCell& c : cells) {
        if (auto st = check_key(c.key.size()); !st) return st;
        if (!c.overflow && c.value.size() != c.value_len) {
            return storage_error(zembrel::format("leaf cell value of {} bytes claims length {}", c.value.size(), c.value_len));
        }
        encode_leaf_cell(bytes, c);
        sizes.push_back(c.size());
        if (kHeaderSize + bytes.size() > pager.usable_page_size()) break;  // reported below
    }
    return write_cells(pager, page, kLeafType, next_leaf, bytes, sizes);
}

Status BPlusTree::write_interior(Pager& pager, uint64_t page, std::span<const InteriorCell> cells,
                                 uint64_t right_child) {
    std::vector<uint8_t> bytes;
    std::vector<size_t> sizes;
    sizes.reserve(cells.size());
    for (const InteriorCell& c : cells) {
        if (auto st = check_key(c.key.size()); !st) return st;
        encode_interior_cell(bytes, c.key, c.child);
        sizes.push_back(c.size());
        if (kHeaderSize + bytes.size() > pager.usable_page_size()) break;
    }
    return write_cells(pager, page, kInteriorType, right_child, bytes, sizes);
}

}  // namespace zembrel
