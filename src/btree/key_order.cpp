#include "btree/key_order.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "types/huge_pages.h"
#include "types/parallel_parts.h"

namespace zembrel {

namespace {

// Below this many entries a comparison sort is as quick.
constexpr size_t kRadixFrom = 256;

// A text longer than Value::kPrefixTextBytes ties on its prefix with every
// text sharing those bytes, and keys of one index often do ("group 000123
// tag"): deciding such ties by key_cmp reads two rows and their texts from
// all over the table. An entry carries the text's next bytes as well, so
// that texts up to kMoreExact bytes are ordered and told equal without.
constexpr size_t kMoreBytes = 7;
constexpr size_t kMoreExact = Value::kPrefixTextBytes + kMoreBytes;

struct Entry {
    unsigned __int128 prefix;
    // Past the prefix, for a text it does not hold wholly: the next
    // kMoreBytes bytes, big-endian, zero-padded, then the length capped one
    // above kMoreExact (so, like the prefix, a shorter text sorts first).
    // 0 for every other value.
    uint64_t more;
    size_t row;

    // The prefix and `more` stand for the first value wholly.
    bool exact() const { return (more & 0xFF) <= kMoreExact; }
};

uint64_t more_of(const Value& v) {
    if (!v.has_text()) return 0;
    const std::string_view text = v.as_text();
    if (text.size() <= Value::kPrefixTextBytes) return 0;
    unsigned char bytes[8] = {};
    std::memcpy(bytes, text.data() + Value::kPrefixTextBytes, std::min(text.size(), kMoreExact) - Value::kPrefixTextBytes);
    uint64_t more;
    std::memcpy(&more, bytes, 8);
    if constexpr (std::endian::native == std::endian::little) more = __builtin_bswap64(more);
    return more | std::min(text.size(), kMoreExact + 1);
}

// Rows are distinct, so this is the stable order by prefix.
template <class E>
bool prefix_row_less(const E& a, const E& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : a.row < b.row;
}

// Whether entries are sorted by `less`, each part checked on its own thread.
template <class Entries, class Less>
bool sorted_by(const Entries& entries, const Less& less, const Split& split) {
    const size_t n = entries.size(), parts = split.parts(n);
    std::vector<unsigned char> sorted(parts, 1);
    run_parts(split, parts, [&](size_t w) {
        // Each part also checks the pair across its end.
        const auto from = entries.begin() + static_cast<ptrdiff_t>(part_begin(n, parts, w));
        const auto to = entries.begin() + static_cast<ptrdiff_t>(std::min(part_begin(n, parts, w + 1) + 1, n));
        sorted[w] = std::is_sorted(from, to, less);
    });
    return std::ranges::all_of(sorted, [](unsigned char s) { return s != 0; });
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
//
// With threads, each part of the entries is counted and distributed by a
// thread of its own, a part's entries placed after those of the parts
// before it in every bucket: the order is the one-thread order exactly.
template <class Entries>
void radix_sort_by_prefix(Entries& entries, const Split& split) {
    using E = typename Entries::value_type;
    constexpr int kBytes = sizeof(unsigned __int128);
    constexpr int kBucketBits = 16;
    constexpr size_t kBytesPerPass = 4;
    auto byte_of = [](unsigned __int128 prefix, int b) { return static_cast<uint8_t>(prefix >> (8 * b)); };
    const size_t n = entries.size(), parts = split.parts(n);
    auto each_part = [&](auto&& visit) {
        run_parts(split, parts, [&](size_t w) {
            const size_t end = part_begin(n, parts, w + 1);
            for (size_t k = part_begin(n, parts, w); k < end; ++k) visit(w, entries[k]);
        });
    };
    const unsigned __int128 first = entries.front().prefix;
    std::vector<unsigned __int128> differ_in(parts, 0);
    run_parts(split, parts, [&](size_t w) {
        // Gathered apart: the parts' slots share a cache line.
        unsigned __int128 differ = 0;
        for (size_t k = part_begin(n, parts, w), end = part_begin(n, parts, w + 1); k < end; ++k)
            differ |= entries[k].prefix ^ first;
        differ_in[w] = differ;
    });
    unsigned __int128 differ = 0;
    for (unsigned __int128 d : differ_in) differ |= d;
    if (differ == 0) return;
    std::vector<int> varying;  // most significant first
    for (int b = kBytes - 1; b >= 0; --b)
        if (byte_of(differ, b) != 0) varying.push_back(b);
    // Every differing byte takes at least two values, a bit of rank: at
    // most 16 bytes share the bucket number, mostly one or two. The values
    // a byte takes are gathered only for the bytes that might get in, a few
    // bytes a pass.
    struct Digit {
        int byte;
        int width;  // bits of rank
        int shift;  // of the rank in the bucket number
        std::array<uint16_t, 256> rank;
    };
    std::vector<Digit> digits;
    int bits = 0;
    for (size_t next = 0; next < varying.size() && bits < kBucketBits;) {
        const size_t batch = std::min(kBytesPerPass, varying.size() - next);
        using Seen = std::array<std::array<uint8_t, 256>, kBytesPerPass>;
        std::vector<Seen> seen(parts);
        run_parts(split, parts, [&](size_t w) {
            // Marked in tables of the part's own: a byte stored anywhere
            // else might be an entry's, and every read would wait on it.
            Seen mine{};
            int bytes[kBytesPerPass] = {};
            for (size_t j = 0; j < batch; ++j) bytes[j] = varying[next + j];
            for (size_t k = part_begin(n, parts, w), end = part_begin(n, parts, w + 1); k < end; ++k) {
                const unsigned __int128 prefix = entries[k].prefix;
                for (size_t j = 0; j < batch; ++j) mine[j][byte_of(prefix, bytes[j])] = 1;
            }
            seen[w] = mine;
        });
        bool full = false;
        for (size_t j = 0; j < batch && !full; ++j) {
            int values = 0;
            Digit d{varying[next + j], 0, 0, {}};
            for (size_t x = 0; x < 256; ++x) {
                const bool taken = std::ranges::any_of(seen, [&](const Seen& s) { return s[j][x] != 0; });
                d.rank[x] = static_cast<uint16_t>(taken ? values++ : 0);
            }
            d.width = std::bit_width(static_cast<unsigned>(values - 1));
            full = bits + d.width > kBucketBits;
            if (!full) {
                bits += d.width;
                digits.push_back(d);
            }
        }
        if (full) break;
        next += batch;
    }
    if (digits.size() < varying.size()) {
        // The buckets leave keys to compare anyway: not many more of them
        // than a part has entries, since every part counts into buckets of
        // its own and counts no entry fills are memory cleared for nothing.
        const int most = std::max(8, static_cast<int>(std::bit_width(n / parts)));
        while (digits.size() > 1 && bits > most) {
            bits -= digits.back().width;
            digits.pop_back();
        }
    }
    int shift = bits;
    for (Digit& d : digits) d.shift = shift -= d.width;
    auto bucket_of = [&digits, byte_of](const E& e) {
        uint32_t bucket = 0;
        for (const Digit& d : digits) bucket |= static_cast<uint32_t>(d.rank[byte_of(e.prefix, d.byte)]) << d.shift;
        return bucket;
    };
    const size_t buckets = size_t{1} << bits;
    // Per part and bucket: its entries, then where the next of them goes.
    // Each part clears its own counts: fresh pages, faulted in by the threads.
    ScratchVector<uint32_t> next(parts * buckets);
    run_parts(split, parts, [&](size_t w) {
        uint32_t* counts = next.data() + w * buckets;
        std::fill(counts, counts + buckets, 0);
        for (size_t k = part_begin(n, parts, w), end = part_begin(n, parts, w + 1); k < end; ++k) ++counts[bucket_of(entries[k])];
    });
    std::vector<uint32_t> start(buckets + 1, 0);
    uint32_t at = 0;
    for (size_t b = 0; b < buckets; ++b) {
        start[b] = at;
        for (size_t w = 0; w < parts; ++w) at += std::exchange(next[w * buckets + b], at);
    }
    start[buckets] = at;
    {
        // Into a second array: moving entries in place would wait on one
        // memory read after the other.
        Entries spare;
        spare.resize(n);
        each_part([&](size_t w, const E& e) { spare[next[w * buckets + bucket_of(e)]++] = e; });
        entries.swap(spare);
    }
    if (digits.size() == varying.size()) return;
    // Each part sorts the buckets that start among its share of the entries.
    const size_t sort_parts = split.parts(n);
    run_parts(split, sort_parts, [&](size_t w) {
        auto first_bucket = [&](size_t part) {
            const uint32_t from = static_cast<uint32_t>(part_begin(n, sort_parts, part));
            return part == sort_parts ? buckets
                                      : static_cast<size_t>(std::lower_bound(start.begin(), start.end() - 1, from) -
                                                            start.begin());
        };
        for (size_t b = first_bucket(w), end = first_bucket(w + 1); b < end; ++b) {
            const auto from = entries.begin() + start[b], to = entries.begin() + start[b + 1];
            if (to - from > 1 && !std::is_sorted(from, to, prefix_row_less<E>)) std::sort(from, to, prefix_row_less<E>);
        }
    });
}

// A hint for a pass over entries [.., end) in their order, now at k: starts
// the memory reads of the rows a few entries ahead, and of the texts at
// positions[compared] of rows asked for before.
void prefetch_entry(RowsView rows, const ScratchVector<Entry>& entries, size_t k, size_t end,
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

ScratchVector<KeyedRow> rows_in_key_order(RowsView rows, std::span<const size_t> positions, bool skip_nulls,
                                          std::vector<unsigned __int128>* prefixes, const Split& split) {
    // Each part of the rows fills its own stretch of `entries`; the gaps
    // left by rows without a key are closed after.
    const size_t n = rows.size(), parts = split.parts(n);
    ScratchVector<Entry> entries;
    entries.resize(n);
    std::vector<size_t> kept(parts, 0);
    const size_t first = positions.empty() ? 0 : positions.front();
    run_parts(split, parts, [&](size_t w) {
        const size_t begin = part_begin(n, parts, w), end = part_begin(n, parts, w + 1);
        Entry* out = entries.data() + begin;
        for (size_t i = begin; i < end; ++i) {
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
            if (positions.empty()) *out++ = Entry{0, 0, i};
            else *out++ = Entry{Value::key_prefix(row[first]), more_of(row[first]), i};
        }
        kept[w] = static_cast<size_t>(out - (entries.data() + begin));
    });
    size_t size = kept[0];
    for (size_t w = 1; w < parts; ++w) {
        const size_t begin = part_begin(n, parts, w);
        if (begin != size) std::memmove(entries.data() + size, entries.data() + begin, kept[w] * sizeof(Entry));
        size += kept[w];
    }
    entries.resize(size);
    // Equal prefixes and `more`: both exact or both not.
    auto key_order = [&](const Entry& a, const Entry& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
        if (a.more != b.more) return a.more < b.more ? -1 : 1;
        for (size_t k = a.exact() ? 1 : 0; k < positions.size(); ++k) {
            auto c = Value::key_cmp(rows[a.row][positions[k]], rows[b.row][positions[k]]);
            if (c != 0) return c < 0 ? -1 : 1;
        }
        return 0;
    };
    auto less = [&](const Entry& a, const Entry& b) {
        int c = key_order(a, b);
        return c != 0 ? c < 0 : a.row < b.row;
    };
    if (!sorted_by(entries, less, split)) {
        if (entries.size() < kRadixFrom || entries.size() > UINT32_MAX) std::sort(entries.begin(), entries.end(), less);
        else radix_sort_by_prefix(entries, split);
    }
    // Entries are now in prefix order, equal prefixes in row order. A run of
    // equal prefixes that does not decide the key is often one key repeated
    // (a plain index), already in order: one pass over neighbours tells, and
    // gives the equal-key flags too. Its rows lie scattered over the table,
    // so the rows and texts a few entries ahead are asked for early. With
    // threads, each part takes the runs that start in its share.
    ScratchVector<KeyedRow> order;
    order.resize(size);
    const size_t run_parts_count = split.parts(size);
    std::vector<size_t> bounds(run_parts_count + 1, size);
    bounds[0] = 0;
    for (size_t w = 1; w < run_parts_count; ++w) {
        size_t at = std::max(part_begin(size, run_parts_count, w), bounds[w - 1]);
        while (at > 0 && at < size && entries[at].prefix == entries[at - 1].prefix) ++at;
        bounds[w] = at;
    }
    run_parts(split, run_parts_count, [&](size_t w) {
        for (size_t i = bounds[w], end = bounds[w + 1]; i < end;) {
            size_t j = i + 1;
            while (j < end && entries[j].prefix == entries[i].prefix) ++j;
            const bool decided = entries[i].more == 0 && positions.size() <= 1;
            // Only keys that `more` leaves undecided read their rows.
            const bool reads_rows = positions.size() > 1 || !entries[i].exact();
            auto flag_run = [&] {
                bool in_order = true;
                order[i] = KeyedRow{entries[i].row, false};
                for (size_t k = i + 1; k < j; ++k) {
                    if (reads_rows) prefetch_entry(rows, entries, k, j, positions, entries[i].exact() ? 1 : 0);
                    const int c = decided ? 0 : key_order(entries[k - 1], entries[k]);
                    in_order = in_order && c <= 0;
                    order[k] = KeyedRow{entries[k].row, c == 0};
                }
                return in_order;
            };
            if (!flag_run()) {
                std::sort(entries.begin() + static_cast<ptrdiff_t>(i), entries.begin() + static_cast<ptrdiff_t>(j),
                          less);
                flag_run();
            }
            i = j;
        }
    });
    if (prefixes) {
        prefixes->clear();
        prefixes->reserve(entries.size());
        for (const Entry& e : entries) prefixes->push_back(e.prefix);
    }
    return order;
}

void sort_image_rows(ScratchVector<ImageRow>& rows, const Split& split) {
    auto less = prefix_row_less<ImageRow>;
    if (sorted_by(rows, less, split)) return;
    if (rows.size() < kRadixFrom || rows.size() > UINT32_MAX) std::sort(rows.begin(), rows.end(), less);
    else radix_sort_by_prefix(rows, split);
}

}  // namespace zembrel
