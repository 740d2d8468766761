#include "btree/key_order.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <utility>

#include "types/huge_pages.h"

namespace zembrel {

namespace {

// Below this many entries a comparison sort is as quick.
constexpr size_t kRadixFrom = 256;

struct Entry {
    unsigned __int128 prefix;
    size_t row;
    bool exact;  // the prefix stands for the first value wholly
};

// Rows are distinct, so this is the stable order by prefix.
template <class E>
bool prefix_row_less(const E& a, const E& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : a.row < b.row;
}

// Sorts by (prefix, row): entries with equal prefixes in row order, as the
// entries start. Keys of one table share most of their prefix bytes (the
// kind rank, a common start of their texts, the high bytes of numbers) and
// the bytes that differ take few values each (digits, hex digits): one pass
// distributes the entries into buckets by the ranks of the values of the
// highest differing bytes, as many bytes as fit 16 bits of ranks. When those
// are all the bytes that differ, each bucket holds one prefix and is done
// (the pass keeps row order); otherwise its entries, a few for spread keys,
// are sorted by comparison.
template <class E>
void radix_sort_by_prefix(std::vector<E>& entries) {
    constexpr int kBytes = sizeof(unsigned __int128);
    constexpr int kBucketBits = 16;
    auto byte_of = [](unsigned __int128 prefix, int b) { return static_cast<uint8_t>(prefix >> (8 * b)); };
    const unsigned __int128 first = entries.front().prefix;
    unsigned __int128 differ = 0;
    for (const E& e : entries) differ |= e.prefix ^ first;
    if (differ == 0) return;
    std::vector<int> varying;  // most significant first
    for (int b = kBytes - 1; b >= 0; --b)
        if (byte_of(differ, b) != 0) varying.push_back(b);
    // Every differing byte takes at least two values, a bit of rank: at
    // most 16 bytes share the bucket number, mostly one or two. The values
    // a byte takes are gathered only for the bytes that get in.
    struct Digit {
        int byte;
        int width;  // bits of rank
        int shift;  // of the rank in the bucket number
        std::array<uint16_t, 256> rank;
    };
    std::vector<Digit> digits;
    int bits = 0;
    for (int byte : varying) {
        std::array<uint8_t, 256> seen{};
        for (const E& e : entries) seen[byte_of(e.prefix, byte)] = 1;
        int values = 0;
        Digit d{byte, 0, 0, {}};
        for (size_t x = 0; x < 256; ++x) d.rank[x] = static_cast<uint16_t>(seen[x] ? values++ : 0);
        d.width = std::bit_width(static_cast<unsigned>(values - 1));
        if (bits + d.width > kBucketBits) break;
        bits += d.width;
        digits.push_back(d);
    }
    int shift = bits;
    for (Digit& d : digits) d.shift = shift -= d.width;
    auto bucket_of = [&digits, byte_of](const E& e) {
        uint32_t bucket = 0;
        for (const Digit& d : digits) bucket |= static_cast<uint32_t>(d.rank[byte_of(e.prefix, d.byte)]) << d.shift;
        return bucket;
    };
    const size_t buckets = size_t{1} << bits;
    std::vector<uint32_t> start(buckets + 1, 0);
    for (const E& e : entries) ++start[bucket_of(e) + 1];
    for (size_t b = 1; b <= buckets; ++b) start[b] += start[b - 1];
    {
        // Into a second array: moving entries in place would wait on one
        // memory read after the other.
        std::vector<E> spare;
        reserve_huge(spare, entries.size());
        spare.resize(entries.size());
        std::vector<uint32_t> next(start.begin(), start.end() - 1);
        for (const E& e : entries) spare[next[bucket_of(e)]++] = e;
        entries.swap(spare);
    }
    if (digits.size() == varying.size()) return;
    for (size_t b = 0; b < buckets; ++b) {
        const auto from = entries.begin() + start[b], to = entries.begin() + start[b + 1];
        if (to - from > 1 && !std::is_sorted(from, to, prefix_row_less<E>)) std::sort(from, to, prefix_row_less<E>);
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
    reserve_huge(entries, rows.size());
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
    std::vector<KeyedRow> order;
    reserve_huge(order, entries.size());
    order.resize(entries.size());
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
    auto less = prefix_row_less<ImageRow>;
    if (std::is_sorted(rows.begin(), rows.end(), less)) return;
    if (rows.size() < kRadixFrom || rows.size() > UINT32_MAX) std::sort(rows.begin(), rows.end(), less);
    else radix_sort_by_prefix(rows);
}

}  // namespace zembrel
