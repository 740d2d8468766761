// Overflow chains: values whose leaf cell would exceed 2000 bytes live in a
// chain of pages (layout in page_layout.h), each holding D = usable - 8 value
// bytes after its 8-byte next link.

#include <algorithm>
#include <cstring>
#include "types/text_format.h"

#include "bptree/bptree.h"
#include "bptree/tree_io.h"

namespace zembrel {

using namespace bpt;

Result<LeafCell> BPlusTree::make_leaf_cell(Pager& pager, ByteSpan key, ByteSpan value) {
    if (key.size() > kMaxKeyLen) {
        return storage_error(zembrel::format("key length {} exceeds maximum {}", key.size(), kMaxKeyLen));
    }
    if (value.size() > kMaxValueLen) {
        return storage_error(zembrel::format("value length {} exceeds maximum {}", value.size(), kMaxValueLen));
    }
    LeafCell cell;
    cell.key.assign(key.begin(), key.end());
    cell.value_len = static_cast<uint32_t>(value.size());
    if (kLeafCellHead + key.size() + value.size() > kMaxInlineCell) {
        auto chain = write_overflow(pager, value);
        if (!chain) return std::unexpected(chain.error());
        cell.overflow = true;
        cell.overflow_page = chain->first_page;
    } else {
        cell.value.assign(value.begin(), value.end());
    }
    return cell;
}

Result<OverflowChain> BPlusTree::write_overflow(Pager& pager, ByteSpan value) {
    if (value.size() > kMaxValueLen) {
        return storage_error(zembrel::format("value length {} exceeds maximum {}", value.size(), kMaxValueLen));
    }
    OverflowChain chain;
    chain.length = static_cast<uint32_t>(value.size());
    if (value.empty()) return chain;
    const size_t chunk = pager.usable_page_size() - 8;
    PageRef prev;
    for (size_t off = 0; off < value.size(); off += chunk) {
        auto page = pager.allocate_page();
        if (!page) return std::unexpected(page.error());
        auto ref = pager.read_page(*page);
        if (!ref) return std::unexpected(ref.error());
        size_t take = std::min(chunk, value.size() - off);
        uint8_t* w = ref->mutable_data();
        put_u64(w, 0);
        std::memcpy(w + 8, value.data() + off, take);
        if (prev) {
            put_u64(prev.mutable_data(), *page);
        } else {
            chain.first_page = *page;
        }
        prev = std::move(*ref);
    }
    return chain;
}

Result<std::vector<uint8_t>> BPlusTree::read_overflow(Pager& pager, const LeafCell& cell) {
    if (!cell.overflow) return cell.value;
    return read_chain(PageSource{&pager, nullptr}, cell.overflow_page, cell.value_len);
}

Result<std::vector<uint8_t>> BPlusTree::read_overflow(const PagerSnapshot& snapshot, const LeafCell& cell) {
    if (!cell.overflow) return cell.value;
    return read_chain(PageSource{nullptr, &snapshot}, cell.overflow_page, cell.value_len);
}

Status BPlusTree::free_overflow(Pager& pager, const LeafCell& cell) {
    if (!cell.overflow) return {};
    return free_chain(pager, cell.overflow_page, cell.value_len, nullptr);
}

}  // namespace zembrel
