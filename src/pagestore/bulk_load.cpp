#include "pagestore/bulk_load.h"

namespace zembrel {

BulkLoader::BulkLoader(Pager& pager) : pager_(pager), usable_(pager.usable_page_size()) {}

Status BulkLoader::add(std::span<const uint8_t> key, std::span<const uint8_t> value) {
    auto cell = BPlusTree::make_leaf_cell(pager_, key, value);
    if (!cell) return std::unexpected(cell.error());
    const size_t size = cell->size();
    if (!cell_sizes_.empty() && bpt::kHeaderSize + cells_.size() + size > usable_) {
        auto next = pager_.allocate_page();
        if (!next) return std::unexpected(next.error());
        auto st = close_leaf(*next);
        if (!st) return st;
        page_ = *next;
    }
    if (page_ == 0) {
        auto first = pager_.allocate_page();
        if (!first) return std::unexpected(first.error());
        page_ = *first;
    }
    if (cell_sizes_.empty()) first_key_.assign(key.begin(), key.end());
    bpt::encode_leaf_cell(cells_, *cell);
    cell_sizes_.push_back(size);
    return {};
}

Status BulkLoader::close_leaf(uint64_t next_leaf) {
    auto ref = pager_.read_page(page_);
    if (!ref) return std::unexpected(ref.error());
    bpt::assemble_page(ref->mutable_data(), usable_, bpt::kLeafType, next_leaf, bpt::cell_spans(cells_, cell_sizes_));
    leaves_.emplace_back(std::move(first_key_), page_);
    first_key_.clear();
    cells_.clear();
    cell_sizes_.clear();
    return {};
}

Result<uint64_t> BulkLoader::finish() {
    if (page_ == 0) {
        // No pairs: the tree is one empty leaf (allocate_page zero-fills, so
        // only the type byte needs setting, which assemble_page does).
        auto page = pager_.allocate_page();
        if (!page) return std::unexpected(page.error());
        page_ = *page;
    }
    auto st = close_leaf(0);
    if (!st) return std::unexpected(st.error());
    page_ = 0;
    if (leaves_.size() == 1) return leaves_.front().second;
    return BPlusTree::finish_bulk_load(pager_, std::move(leaves_));
}

}  // namespace zembrel
