#include "btree/key_order.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace zembrel {

namespace {

// Below this many entries a comparison sort is as quick.
constexpr size_t kRadixFrom = 256;

struct Entry {
    unsigned __int128 prefix;
    size_t row;
    bool exact;  // the prefix stands for the first value wholly
};

// Sorts by prefix alone, stably (entries with equal prefixes keep their
// order): a least-significant-byte radix sort that passes over the bytes in
// which the prefixes differ at all. Keys of one table share most of their
// prefix bytes (the kind rank, a common start of their texts, the high bytes
// of small numbers), so a few linear passes replace n log n comparisons.
void radix_sort_by_prefix(std::vector<Entry>& entries) {
    const size_t n = entries.size();
    constexpr int kBytes = sizeof(unsigned __int128);
    auto byte_of = [](unsigned __int128 prefix, int b) { return static_cast<uint8_t>(prefix >> (8 * b)); };
    std::vector<std::array<uint32_t, 256>> counts(kBytes);
    for (auto& c : counts) c.fill(0);
    for (const Entry& e : entries)
        for (int b = 0; b < kBytes; ++b) ++counts[static_cast<size_t>(b)][byte_of(e.prefix, b)];
    std::vector<Entry> spare(n);
    for (int b = 0; b < kBytes; ++b) {
        auto& count = counts[static_cast<size_t>(b)];
        if (count[byte_of(entries.front().prefix, b)] == n) continue;  // the same in every entry
        uint32_t at = 0;
        for (uint32_t& c : count) at += std::exchange(c, at);
        for (const Entry& e : entries) spare[count[byte_of(e.prefix, b)]++] = e;
        entries.swap(spare);
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
        if (entries.size() < kRadixFrom || entries.size() > UINT32_MAX) {
            std::sort(entries.begin(), entries.end(), less);
        } else {
            // Entries start in row order, so after the stable pass equal
            // prefixes are in row order too; only runs of equal prefixes
            // that do not decide the key need the full comparison.
            radix_sort_by_prefix(entries);
            for (size_t i = 0; i < entries.size();) {
                size_t j = i + 1;
                while (j < entries.size() && entries[j].prefix == entries[i].prefix) ++j;
                // A run is often one key repeated (a plain index), already in
                // row order: one pass tells, where sorting would compare
                // texts n log n times.
                const auto first = entries.begin() + static_cast<ptrdiff_t>(i);
                const auto last = entries.begin() + static_cast<ptrdiff_t>(j);
                if (j - i > 1 && (!entries[i].exact || positions.size() > 1) && !std::is_sorted(first, last, less))
                    std::sort(first, last, less);
                i = j;
            }
        }
    }
    std::vector<KeyedRow> order;
    order.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        order.push_back(KeyedRow{entries[i].row, i > 0 && key_order(entries[i - 1], entries[i]) == 0});
    if (prefixes) {
        prefixes->clear();
        prefixes->reserve(entries.size());
        for (const Entry& e : entries) prefixes->push_back(e.prefix);
    }
    return order;
}

}  // namespace zembrel
