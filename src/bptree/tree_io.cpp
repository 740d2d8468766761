#include "bptree/tree_io.h"

#include <algorithm>
#include <cstring>
#include "types/text_format.h"

namespace zembrel::bpt {

Status PageSource::read(uint64_t page, PageBuf& out) const {
    if (pager != nullptr) return pager->read_page_into(page, out);
    return snapshot->read_page_into(page, out);
}

Status PageSource::load(uint64_t page, SourcePage& out) const {
    if (pager != nullptr) {
        out.ref_.release();
        auto ref = pager->read_page(page);
        if (!ref) return std::unexpected(ref.error());
        out.ref_ = std::move(*ref);
        return {};
    }
    if (!out.buf_) out.buf_ = std::make_unique<PageBuf>();
    return snapshot->read_page_into(page, *out.buf_);
}

size_t PageSource::usable() const {
    return pager != nullptr ? pager->usable_page_size() : snapshot->usable_page_size();
}

uint64_t PageSource::page_count() const {
    return pager != nullptr ? pager->page_count() : snapshot->page_count();
}

void rewrite_page(PageRef& ref, size_t usable, uint8_t type, uint64_t link, std::span<const ByteSpan> cells) {
    PageBuf image;
    assemble_page(image.data(), usable, type, link, cells);
    std::memcpy(ref.mutable_data(), image.data(), usable);
}

Result<uint64_t> new_page(Pager& pager, uint8_t type, uint64_t link, std::span<const ByteSpan> cells) {
    auto page = pager.allocate_page();
    if (!page) return std::unexpected(page.error());
    auto ref = pager.read_page(*page);
    if (!ref) return std::unexpected(ref.error());
    assemble_page(ref->mutable_data(), pager.usable_page_size(), type, link, cells);
    return *page;
}

Result<uint64_t> descend(const PageSource& src, uint64_t root, std::optional<ByteSpan> key) {
    PageIndex idx;
    return descend(src, root, key, idx);
}

Result<uint64_t> descend(const PageSource& src, uint64_t root, std::optional<ByteSpan> key, PageIndex& idx) {
    SourcePage view;
    uint64_t page = root;
    // A valid tree never visits more levels than it has pages.
    for (uint64_t level = 0; level <= src.page_count(); ++level) {
        auto st = src.load(page, view);
        if (!st) return std::unexpected(st.error());
        const uint8_t* p = view.data();
        if (auto indexed = index_page(p, src.usable(), page, idx); !indexed) return std::unexpected(indexed.error());
        if (idx.type == kLeafType) return page;
        size_t choice = key ? upper_bound(p, idx, *key) : 0;
        page = choice < idx.cells.size() ? interior_child(p, idx.cells[choice]) : idx.link;
    }
    return damaged(root, "descent does not reach a leaf");
}

Result<std::vector<uint8_t>> read_chain(const PageSource& src, uint64_t first, uint32_t length) {
    std::vector<uint8_t> out;
    size_t chunk = src.usable() - 8;
    uint64_t page_count = src.page_count();
    // Reserve no more than the file could hold, whatever a damaged length says.
    uint64_t bound = page_count > UINT32_MAX ? UINT64_MAX : page_count * chunk;
    out.reserve(static_cast<size_t>(std::min<uint64_t>(length, bound)));
    SourcePage view;
    uint64_t remaining = length;
    uint64_t page = first;
    uint64_t hops = 0;
    while (remaining > 0) {
        if (page == 0) return storage_error("overflow chain truncated");
        if (++hops > page_count) return damaged(first, "overflow chain loops");
        auto st = src.load(page, view);
        if (!st) return std::unexpected(st.error());
        const uint8_t* p = view.data();
        size_t take = static_cast<size_t>(std::min<uint64_t>(chunk, remaining));
        out.insert(out.end(), p + 8, p + 8 + take);
        remaining -= take;
        page = get_u64(p);
    }
    return out;
}

Status free_chain(Pager& pager, uint64_t first, uint32_t length, std::unordered_set<uint64_t>* seen) {
    if (first == 0 || length == 0) return {};
    size_t chunk = pager.usable_page_size() - 8;
    uint64_t remaining = length;
    uint64_t page = first;
    while (true) {
        if (page == 0 || page >= pager.page_count()) {
            return storage_error(zembrel::format("cannot free invalid page {}", page));
        }
        if (seen != nullptr && !seen->insert(page).second) return damaged(page, "page is reachable twice");
        auto ref = pager.read_page(page);
        if (!ref) return std::unexpected(ref.error());
        uint64_t next = get_u64(ref->data());
        ref->release();
        auto st = pager.free_page(page);
        if (!st) return st;
        // Stop where the value ends even if the last page's link is stale.
        if (next == 0 || remaining <= chunk) return {};
        remaining -= chunk;
        page = next;
    }
}

}  // namespace zembrel::bpt
