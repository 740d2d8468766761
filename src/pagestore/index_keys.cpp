#include "pagestore/index_keys.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "bptree/page_layout.h"
#include "keycodec/keycodec.h"
#include "types/text_format.h"

namespace zembrel {

void KeyBatch::add(std::span<const uint8_t> key, uint32_t row) {
    refs_.push_back(Ref{bytes_.size(), static_cast<uint32_t>(key.size()), row});
    bytes_.insert(bytes_.end(), key.begin(), key.end());
}

void KeyBatch::set_rowid(size_t i, uint64_t rowid) {
    const Ref& r = refs_[i];
    keycodec::Bytes suffix = keycodec::table_key(rowid);
    std::memcpy(bytes_.data() + r.offset + r.length - suffix.size(), suffix.data(), suffix.size());
}

void KeyBatch::sort() {
    const uint8_t* base = bytes_.data();
    std::sort(refs_.begin(), refs_.end(), [base](const Ref& a, const Ref& b) {
        return bpt::compare_keys(bpt::ByteSpan(base + a.offset, a.length), bpt::ByteSpan(base + b.offset, b.length)) < 0;
    });
}

std::optional<size_t> index_key_length(std::span<const Value> row, std::span<const size_t> positions) {
    size_t length = keycodec::kTableKeyLen;
    for (size_t p : positions) {
        if (p >= row.size() || row[p].is_null()) return std::nullopt;
        length += keycodec::encoded_length(row[p]);
    }
    return length;
}

Status check_index_key_length(size_t length) {
    if (length > bpt::kMaxKeyLen) return storage_error(format("key length {} exceeds maximum {}", length, bpt::kMaxKeyLen));
    return {};
}

bool same_values_at(std::span<const Value> a, std::span<const Value> b, std::span<const size_t> positions) {
    for (size_t p : positions)
        if (p >= a.size() || p >= b.size() || !(a[p] == b[p])) return false;
    return true;
}

Status check_row_index_key(std::span<const Value> row, std::span<const size_t> positions) {
    const std::optional<size_t> length = index_key_length(row, positions);
    return length ? check_index_key_length(*length) : Status{};
}

namespace {

int compare_at(const Row& a, const Row& b, std::span<const size_t> positions) {
    for (size_t p : positions) {
        auto c = Value::key_cmp(a[p], b[p]);
        if (c != 0) return c < 0 ? -1 : 1;
    }
    return 0;
}

// The first row (in row order) whose values repeat an earlier row's, among
// `keyed` (positions of rows that have keys, ascending); none: SIZE_MAX.
size_t first_repeat(std::span<const Row> rows, std::span<const size_t> positions, std::vector<uint32_t> keyed) {
    std::stable_sort(keyed.begin(), keyed.end(), [&](uint32_t a, uint32_t b) {
        return compare_at(rows[a], rows[b], positions) < 0;
    });
    size_t found = SIZE_MAX;
    for (size_t i = 1; i < keyed.size(); ++i) {
        // Within a run of equal values the stable sort keeps row order, so
        // every member after the first repeats it; the smallest such
        // position over all runs is the first repeat in row order.
        if (compare_at(rows[keyed[i - 1]], rows[keyed[i]], positions) == 0) found = std::min<size_t>(found, keyed[i]);
    }
    return found;
}

}  // namespace

Result<KeyBatch> collect_index_keys(std::string_view index_name, std::span<const size_t> positions,
                                    std::span<const Row> rows, std::span<const uint64_t> rowids,
                                    UniqueCheck check) {
    if (rows.size() > std::numeric_limits<uint32_t>::max()) {
        return storage_error(format("too many rows for one index build: {}", rows.size()));
    }
    KeyBatch batch;
    std::vector<uint32_t> keyed;
    Status fits;  // the first key that does not, after which the scan stops
    keycodec::Bytes key;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        bool has_null = false;
        key.clear();
        for (size_t p : positions) {
            if (p >= row.size()) {
                return storage_error(format("index '{}' reads column {} of a row of {} values", index_name, p,
                                            row.size()));
            }
            if (row[p].is_null()) {
                has_null = true;
                break;
            }
            keycodec::encode_value(row[p], key);
        }
        if (has_null) continue;
        const uint64_t rowid = rowids.empty() ? i + 1 : rowids[i];
        keycodec::Bytes suffix = keycodec::table_key(rowid);
        key.insert(key.end(), suffix.begin(), suffix.end());
        if (check != UniqueCheck::None) keyed.push_back(static_cast<uint32_t>(i));
        if (fits = check_index_key_length(key.size()); !fits) break;
        batch.add(key, static_cast<uint32_t>(i));
    }
    if (check != UniqueCheck::None) {
        size_t repeat = first_repeat(rows, positions, std::move(keyed));
        if (repeat != SIZE_MAX) {
            std::vector<Value> values;
            for (size_t p : positions) values.push_back(rows[repeat][p]);
            if (check == UniqueCheck::Build) {
                return execution_error(format("unique index '{}': duplicate key {}", index_name, debug_values(values)));
            }
            return execution_error(format("unique constraint violated: duplicate key {}", debug_values(values)));
        }
    }
    if (!fits) return fail(fits.error());
    return batch;
}

}  // namespace zembrel
