// Rows of one table's tree, decoded once by row id and kept for readers
// that fetch the same rows statement after statement (index seeks and
// correlated subqueries over a table read straight from the page file).
//
// It holds copies, true only while the table's tree stays unchanged: its
// owner drops it at the first write (the RowCache's facts do). Memory is
// bounded: past kMaxBytes (the values and their long texts) it forgets
// every row and fills again, so a reader whose rows do not fit pays a
// decode per row as without it. Rows that are gone are not remembered.
// Values keep their own long texts, so a row copied out owns everything it
// holds. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "types/value.h"

namespace zembrel {

class DecodedRows {
public:
    static constexpr size_t kMaxBytes = size_t{64} << 20;

    // The row under `rowid`, none when it was not kept. The span lives
    // until the next add.
    std::optional<std::span<const Value>> find(uint64_t rowid) const {
        auto it = at_.find(rowid);
        if (it == at_.end()) return std::nullopt;
        return std::span<const Value>(values_.data() + it->second.first, it->second.second);
    }
    // Keeps a copy of `row` under `rowid` (an id kept already keeps its
    // first row); `record_bytes` is the size of its stored record, which
    // bounds the texts the copy holds.
    void add(uint64_t rowid, std::span<const Value> row, size_t record_bytes);

    size_t row_count() const { return at_.size(); }

private:
    std::unordered_map<uint64_t, std::pair<uint32_t, uint32_t>> at_;  // row id -> (first value, width)
    std::vector<Value> values_;
    size_t bytes_ = 0;
};

}  // namespace zembrel
