#include "btree/key_order.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace zembrel {

namespace {

// Below this many entries a comparison sort is as quick.
constexpr size_t kRadixFrom = 256;
// Prefixes that differ in at most this many bytes are sorted a byte at a time.
constexpr size_t kLeastSignificantPasses = 3;

struct Entry {
    unsigned __int128 prefix;
    size_t row;
    bool exact;  // the prefix stands for the first value wholly
};

// Sorts by (prefix, row): entries with equal prefixes in row order. Keys of
// one table share most of their prefix bytes (the kind rank, a common start
// of their texts, the high bytes of small numbers): when the prefixes differ
// in a few bytes only, a least-significant-byte radix sort passes over just
// those bytes (stable, and entries start in row order); when they differ in
// more (random keys, long texts), one pass distributes the entries by the
// 16 highest bits in which they differ and each bucket, a few entries for
// spread keys, is sorted by comparison.
template <class E>
void radix_sort_by_prefix(std::vector<E>& entries) {
    const size_t n = entries.size();
    constexpr int kBytes = sizeof(unsigned __int128);
    auto byte_of = [](unsigned __int128 prefix, int b) { return static_cast<uint8_t>(prefix >> (8 * b)); };
    const unsigned __int128 first = entries.front().prefix;
    unsigned __int128 differ = 0;
    for (const E& e : entries) differ |= e.prefix ^ first;
    if (differ == 0) return;
    std::vector<int> varying;
    for (int b = 0; b < kBytes; ++b)
        if (byte_of(differ, b) != 0) varying.push_back(b);
    if (varying.size() <= kLeastSignificantPasses) {
        std::vector<E> spare(n);
        std::array<uint32_t, 256> count;
        for (int b : varying) {
            count.fill(0);
            for (const E& e : entries) ++count[byte_of(e.prefix, b)];
            uint32_t at = 0;
            for (uint32_t& c : count) at += std::exchange(c, at);
            for (const E& e : entries) spare[count[byte_of(e.prefix, b)]++] = e;
            entries.swap(spare);
        }
        return;
    }
    const uint64_t high = static_cast<uint64_t>(differ >> 64);
    const int top = high != 0 ? 127 - __builtin_clzll(high) : 63 - __builtin_clzll(static_cast<uint64_t>(differ));
    const int shift = std::max(0, top - 15);
    auto bucket_of = [shift](const E& e) { return static_cast<uint32_t>(e.prefix >> shift) & 0xFFFF; };
    constexpr size_t kBuckets = 65536;
    std::vector<uint32_t> start(kBuckets + 1, 0);
    for (const E& e : entries) ++start[bucket_of(e) + 1];
    for (size_t b = 1; b <= kBuckets; ++b) start[b] += start[b - 1];
    {
        // Into a second array: moving entries in place would wait on one
        // memory read after the other.
        std::vector<E> spare(n);
        std::vector<uint32_t> next(start.begin(), start.end() - 1);
        for (const E& e : entries) spare[next[bucket_of(e)]++] = e;
        entries.swap(spare);
    }
    auto less = [](const E& a, const E& b) { return a.prefix != b.prefix ? a.prefix < b.prefix : a.row < b.row; };
    for (size_t b = 0; b < kBuckets; ++b) {
        if (start[b + 1] - start[b] > 1)
            std::sort(entries.begin() + start[b], entries.begin() + start[b + 1], less);
    }
}

// A hint for a pass over entries [.., end) in their order, now at k: starts
// the memory reads of the rows a few entries ahead, and of the texts at
// positions[compared] of rows asked for before.
void prefetch_entry(RowsView rows, const std::vector<Entry>& entries, size_t k, size_t end,
                    std::span<const size_t> positions, size_t compared) {
    constexpr size_t kRowsAhead = 16, kTextsAhead = 8;
    if (k + kRowsAhead < end) {
        const RowView ahead = rows[entries[k + kRowsAhead].row];
        for (size_t p : positions)
            if (p < ahead.size()) __builtin_prefetch(&ahead[p]);
    }
    if (k + kTextsAhead < end && compared < positions.size()) {
        const RowView ahead = rows[entries[k + kTextsAhead].row];
        const size_t p = positions[compared];
        if (p < ahead.size() && ahead[p].has_text()) __builtin_prefetch(ahead[p].as_text().data());
    }
}

}  // namespace

void prefetch_ahead(RowsView rows, size_t i, size_t position) {
    // Rows live apart on the heap and a text value's bytes apart again: ask
    // for the row a few steps ahead, and for the text of the row that was
    // asked for before, so that neither wait stalls the pass.
    constexpr size_t kRowsAhead = 16, kTextsAhead = 8;
    if (i + kRowsAhead < rows.size()) {
        const RowView ahead = rows[i + kRowsAhead];
        if (position < ahead.size()) __builtin_prefetch(&ahead[position]);
    }
    if (i + kTextsAhead < rows.size()) {
        const RowView ahead = rows[i + kTextsAhead];
        if (position < ahead.size() && ahead[position].has_text())
            __builtin_prefetch(ahead[position].as_text().data());
    }
}

std::vector<KeyedRow> rows_in_key_order(RowsView rows, std::span<const size_t> positions, bool skip_nulls,
                                        std::vector<unsigned __int128>* prefixes) {
    std::vector<Entry> entries;
    entries.reserve(rows.size());
    const size_t first = positions.empty() ? 0 : positions.front();
    for (size_t i = 0; i < rows.size(); ++i) {
        prefetch_ahead(rows, i, first);
        const RowView row = rows[i];
        bool keyed = true;
        for (size_t p : positions) {
            if (p >= row.size() || (skip_nulls && row[p].is_null())) {
                keyed = false;
                break;
            }
        }
        if (!keyed) continue;
        if (positions.empty()) entries.push_back(Entry{0, i, true});
        else entries.push_back(Entry{Value::key_prefix(row[first]), i, Value::key_prefix_exact(row[first])});
    }
    // Equal prefixes: both exact or both not.
    auto key_order = [&](const Entry& a, const Entry& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
        for (size_t k = a.exact ? 1 : 0; k < positions.size(); ++k) {
            auto c = Value::key_cmp(rows[a.row][positions[k]], rows[b.row][positions[k]]);
            if (c != 0) return c < 0 ? -1 : 1;
        }
        return 0;
    };
    auto less = [&](const Entry& a, const Entry& b) {
        int c = key_order(a, b);
        return c != 0 ? c < 0 : a.row < b.row;
    };
    if (!std::is_sorted(entries.begin(), entries.end(), less)) {
        if (entries.size() < kRadixFrom || entries.size() > UINT32_MAX) std::sort(entries.begin(), entries.end(), less);
        else radix_sort_by_prefix(entries);
    }
    // Entries are now in prefix order, equal prefixes in row order. A run of
    // equal prefixes that does not decide the key is often one key repeated
    // (a plain index), already in order: one pass over neighbours tells, and
    // gives the equal-key flags too. Its rows lie scattered over the table,
    // so the rows and texts a few entries ahead are asked for early.
    std::vector<KeyedRow> order(entries.size());
    for (size_t i = 0; i < entries.size();) {
        size_t j = i + 1;
        while (j < entries.size() && entries[j].prefix == entries[i].prefix) ++j;
        const bool decided = entries[i].exact && positions.size() <= 1;
        auto flag_run = [&] {
            bool in_order = true;
            order[i] = KeyedRow{entries[i].row, false};
            for (size_t k = i + 1; k < j; ++k) {
                if (!decided) prefetch_entry(rows, entries, k, j, positions, entries[i].exact ? 1 : 0);
                const int c = decided ? 0 : key_order(entries[k - 1], entries[k]);
                in_order = in_order && c <= 0;
                order[k] = KeyedRow{entries[k].row, c == 0};
            }
            return in_order;
        };
        if (!flag_run()) {
            std::sort(entries.begin() + static_cast<ptrdiff_t>(i), entries.begin() + static_cast<ptrdiff_t>(j), less);
            flag_run();
        }
        i = j;
    }
    if (prefixes) {
        prefixes->clear();
        prefixes->reserve(entries.size());
        for (const Entry& e : entries) prefixes->push_back(e.prefix);
    }
    return order;
}

void sort_image_rows(std::vector<ImageRow>& rows) {
    auto less = [](const ImageRow& a, const ImageRow& b) {
        return a.prefix != b.prefix ? a.prefix < b.prefix : a.row < b.row;
    };
    if (std::is_sorted(rows.begin(), rows.end(), less)) return;
    if (rows.size() < kRadixFrom || rows.size() > UINT32_MAX) std::sort(rows.begin(), rows.end(), less);
    else radix_sort_by_prefix(rows);
}

}  // namespace zembrel
