#include "bptree/page_layout.h"

#include <algorithm>
#include <cstring>
#include "types/text_format.h"

namespace zembrel::bpt {

int compare_keys(ByteSpan a, ByteSpan b) {
    size_t n = std::min(a.size(), b.size());
    if (n > 0) {
        int c = std::memcmp(a.data(), b.data(), n);
        if (c != 0) return c < 0 ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::unexpected<EngineError> damaged(uint64_t page_no, const std::string& what) {
    return storage_error(zembrel::format("b+tree page {} is damaged: {}", page_no, what));
}

namespace {

// Walks the cells of a page whose type byte is already known to be 1 or 2.
Status index_cells(const uint8_t* page, size_t usable, uint64_t page_no, PageIndex& idx) {
    idx.type = page[0];
    idx.link = get_u64(page + 4);
    idx.cells.clear();
    size_t count = get_u16(page + 2);
    // A cell takes at least 7 bytes: a count beyond what fits cannot be real.
    if (count > (usable - kHeaderSize) / kLeafCellHead) {
        return damaged(page_no, zembrel::format("cell count {} cannot fit", count));
    }
    bool leaf = idx.type == kLeafType;
    size_t head = leaf ? kLeafCellHead : kInteriorCellHead;
    size_t off = kHeaderSize;
    for (size_t i = 0; i < count; ++i) {
        if (off + head > usable) return damaged(page_no, zembrel::format("cell {} runs past the end of the page", i));
        size_t key_len = get_u16(page + off);
        if (key_len > kMaxKeyLen) {
            return damaged(page_no, zembrel::format("key length {} exceeds maximum {}", key_len, kMaxKeyLen));
        }
        size_t payload = 0;
        if (leaf) {
            bool chained = page[off + 6] != 0;
            payload = chained ? 8 : get_u32(page + off + 2);
        }
        size_t size = head + key_len + payload;  // no wrap: payload < 2^32
        if (off + size > usable) return damaged(page_no, zembrel::format("cell {} runs past the end of the page", i));
        idx.cells.push_back(CellRef{static_cast<uint16_t>(off), static_cast<uint16_t>(size),
                                    static_cast<uint16_t>(key_len)});
        off += size;
    }
    idx.used = off;
    return {};
}

}  // namespace

Status index_page(const uint8_t* page, size_t usable, uint64_t page_no, PageIndex& out) {
    if (page[0] != kLeafType && page[0] != kInteriorType) {
        return storage_error(zembrel::format("invalid b+tree page type: {}", page[0]));
    }
    return index_cells(page, usable, page_no, out);
}

Status index_leaf(const uint8_t* page, size_t usable, uint64_t page_no, PageIndex& out) {
    if (page[0] != kLeafType) return storage_error(zembrel::format("page {} is not a leaf", page_no));
    return index_cells(page, usable, page_no, out);
}

Status index_interior(const uint8_t* page, size_t usable, uint64_t page_no, PageIndex& out) {
    if (page[0] != kInteriorType) return storage_error(zembrel::format("page {} is not an interior node", page_no));
    return index_cells(page, usable, page_no, out);
}

ByteSpan cell_key(const uint8_t* page, uint8_t type, const CellRef& c) {
    size_t head = type == kLeafType ? kLeafCellHead : kInteriorCellHead;
    return ByteSpan(page + c.offset + head, c.key_len);
}

uint64_t interior_child(const uint8_t* page, const CellRef& c) { return get_u64(page + c.offset + 2); }

bool leaf_cell_overflow(const uint8_t* page, const CellRef& c) { return page[c.offset + 6] != 0; }

uint32_t leaf_cell_value_len(const uint8_t* page, const CellRef& c) { return get_u32(page + c.offset + 2); }

uint64_t leaf_cell_first_overflow(const uint8_t* page, const CellRef& c) {
    return get_u64(page + c.offset + kLeafCellHead + c.key_len);
}

ByteSpan leaf_inline_value(const uint8_t* page, const CellRef& c) {
    if (leaf_cell_overflow(page, c)) return {};
    size_t start = kLeafCellHead + c.key_len;
    return ByteSpan(page + c.offset + start, c.size - start);
}

LeafCell decode_leaf_cell(const uint8_t* page, const CellRef& c) {
    LeafCell cell;
    ByteSpan key = cell_key(page, kLeafType, c);
    cell.key.assign(key.begin(), key.end());
    cell.value_len = leaf_cell_value_len(page, c);
    cell.overflow = leaf_cell_overflow(page, c);
    if (cell.overflow) {
        cell.overflow_page = leaf_cell_first_overflow(page, c);
    } else {
        ByteSpan v = leaf_inline_value(page, c);
        cell.value.assign(v.begin(), v.end());
    }
    return cell;
}

InteriorCell decode_interior_cell(const uint8_t* page, const CellRef& c) {
    InteriorCell cell;
    ByteSpan key = cell_key(page, kInteriorType, c);
    cell.key.assign(key.begin(), key.end());
    cell.child = interior_child(page, c);
    return cell;
}

namespace {

// First cell of [lo, hi) whose key is not smaller than `key` (hi when none),
// for cells in key order.
size_t lower_bound_in(const uint8_t* page, const PageIndex& idx, ByteSpan key, size_t lo, size_t hi) {
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (compare_keys(cell_key(page, idx.type, idx.cells[mid]), key) < 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

}  // namespace

size_t lower_bound(const uint8_t* page, const PageIndex& idx, ByteSpan key) {
    return lower_bound_in(page, idx, key, 0, idx.cells.size());
}

size_t lower_bound_from(const uint8_t* page, const PageIndex& idx, ByteSpan key, size_t hint) {
    const size_t n = idx.cells.size();
    auto below = [&](size_t i) { return compare_keys(cell_key(page, idx.type, idx.cells[i]), key) < 0; };
    if (hint >= n || !below(hint)) return lower_bound_in(page, idx, key, 0, std::min(hint, n));
    // Cell `lo - 1` is below the key; widen the step until a cell is not.
    size_t lo = hint + 1, step = 1;
    while (lo < n && below(lo)) {
        lo += 1;
        const size_t probe = std::min(n, lo + step);
        if (probe == n || !below(probe - 1)) return lower_bound_in(page, idx, key, lo, probe);
        lo = probe;
        step *= 2;
    }
    return lo;
}

size_t upper_bound(const uint8_t* page, const PageIndex& idx, ByteSpan key) {
    size_t lo = 0, hi = idx.cells.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (compare_keys(cell_key(page, idx.type, idx.cells[mid]), key) <= 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

void encode_leaf_cell(std::vector<uint8_t>& out, const LeafCell& cell) {
    size_t start = out.size();
    out.resize(start + cell.size());
    uint8_t* p = out.data() + start;
    put_u16(p, static_cast<uint16_t>(cell.key.size()));
    put_u32(p + 2, cell.value_len);
    p[6] = cell.overflow ? 1 : 0;
    if (!cell.key.empty()) std::memcpy(p + 7, cell.key.data(), cell.key.size());
    p += 7 + cell.key.size();
    if (cell.overflow) {
        put_u64(p, cell.overflow_page);
    } else if (!cell.value.empty()) {
        std::memcpy(p, cell.value.data(), cell.value.size());
    }
}

void encode_interior_cell(std::vector<uint8_t>& out, ByteSpan key, uint64_t child) {
    size_t start = out.size();
    out.resize(start + kInteriorCellHead + key.size());
    uint8_t* p = out.data() + start;
    put_u16(p, static_cast<uint16_t>(key.size()));
    put_u64(p + 2, child);
    if (!key.empty()) std::memcpy(p + 10, key.data(), key.size());
}

std::vector<ByteSpan> cell_spans(std::span<const uint8_t> bytes, std::span<const size_t> sizes) {
    std::vector<ByteSpan> spans;
    spans.reserve(sizes.size());
    size_t off = 0;
    for (size_t s : sizes) {
        spans.emplace_back(bytes.data() + off, s);
        off += s;
    }
    return spans;
}

void assemble_page(uint8_t* page, size_t usable, uint8_t type, uint64_t link, std::span<const ByteSpan> cells) {
    std::memset(page, 0, usable);
    page[0] = type;
    put_u16(page + 2, static_cast<uint16_t>(cells.size()));
    put_u64(page + 4, link);
    size_t off = kHeaderSize;
    for (ByteSpan c : cells) {
        ZEMBREL_INVARIANT(off + c.size() <= usable, "b+tree page image overflows its page");
        if (!c.empty()) std::memcpy(page + off, c.data(), c.size());
        off += c.size();
    }
}

void splice_cells(uint8_t* page, size_t usable, const PageIndex& idx, size_t pos, size_t removed, ByteSpan inserted) {
    const size_t n = idx.cells.size();
    ZEMBREL_INVARIANT(pos + removed <= n && removed <= 1, "cell splice outside the page's cells");
    const size_t at = pos < n ? idx.cells[pos].offset : idx.used;
    const size_t removed_size = removed != 0 ? idx.cells[pos].size : 0;
    const size_t tail = at + removed_size;
    const size_t new_used = idx.used - removed_size + inserted.size();
    ZEMBREL_INVARIANT(new_used <= usable, "b+tree page image overflows its page");
    if (inserted.size() != removed_size) std::memmove(page + at + inserted.size(), page + tail, idx.used - tail);
    if (!inserted.empty()) std::memcpy(page + at, inserted.data(), inserted.size());
    // What assemble_page would leave: a zero spare byte and zeros after the cells.
    std::memset(page + new_used, 0, usable - new_used);
    page[1] = 0;
    put_u16(page + 2, static_cast<uint16_t>(n - removed + (inserted.empty() ? 0 : 1)));
}

void splice_cells_indexed(uint8_t* page, size_t usable, PageIndex& idx, size_t pos, size_t removed, ByteSpan inserted) {
    const size_t at = pos < idx.cells.size() ? idx.cells[pos].offset : idx.used;
    const size_t removed_size = removed != 0 ? idx.cells[pos].size : 0;
    splice_cells(page, usable, idx, pos, removed, inserted);
    const CellRef cell{static_cast<uint16_t>(at), static_cast<uint16_t>(inserted.size()),
                       static_cast<uint16_t>(inserted.empty() ? 0 : get_u16(inserted.data()))};
    const std::ptrdiff_t shift = static_cast<std::ptrdiff_t>(inserted.size()) - static_cast<std::ptrdiff_t>(removed_size);
    idx.cells.splice(pos, removed, inserted.empty() ? nullptr : &cell, shift);
    idx.used = idx.used - removed_size + inserted.size();
}

size_t encode_inline_leaf_cell(uint8_t* out, ByteSpan key, ByteSpan value) {
    put_u16(out, static_cast<uint16_t>(key.size()));
    put_u32(out + 2, static_cast<uint32_t>(value.size()));
    out[6] = 0;
    if (!key.empty()) std::memcpy(out + kLeafCellHead, key.data(), key.size());
    if (!value.empty()) std::memcpy(out + kLeafCellHead + key.size(), value.data(), value.size());
    return kLeafCellHead + key.size() + value.size();
}

size_t choose_leaf_split(std::span<const size_t> sizes, size_t usable) {
    size_t n = sizes.size();
    if (n < 2) return 0;
    std::vector<size_t> prefix(n + 1, 0);
    for (size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + sizes[i];
    size_t total = prefix[n];
    size_t cap = usable - kHeaderSize;
    size_t preferred = 1;
    while (preferred < n - 1 && prefix[preferred] < total / 2) ++preferred;
    auto fits = [&](size_t k) { return prefix[k] <= cap && total - prefix[k] <= cap; };
    // Nearest fitting point to the preferred one, looking both ways.
    for (size_t d = 0; d < n; ++d) {
        if (preferred >= d + 1 && preferred - d >= 1 && fits(preferred - d)) return preferred - d;
        if (preferred + d <= n - 1 && fits(preferred + d)) return preferred + d;
    }
    return 0;
}

size_t choose_interior_split(std::span<const size_t> sizes, size_t usable) {
    size_t c = sizes.size();
    if (c < 3) return 0;
    std::vector<size_t> prefix(c + 1, 0);
    for (size_t i = 0; i < c; ++i) prefix[i + 1] = prefix[i] + sizes[i];
    size_t cap = usable - kHeaderSize;
    auto fits = [&](size_t p) { return prefix[p] <= cap && prefix[c] - prefix[p + 1] <= cap; };
    size_t preferred = std::clamp<size_t>(c / 2, 1, c - 2);
    for (size_t d = 0; d < c; ++d) {
        if (preferred >= d + 1 && fits(preferred - d)) return preferred - d;
        if (preferred + d <= c - 2 && fits(preferred + d)) return preferred + d;
    }
    return 0;
}

}  // namespace zembrel::bpt
