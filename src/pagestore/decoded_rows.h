// Rows of one table's tree, decoded once by row id and kept for readers
// that fetch the same rows statement after statement (index seeks and
// correlated subqueries over a table read straight from the page file).
//
// It holds copies, true only while the table's tree stays unchanged: its
// owner drops it at the first write (the RowCache's facts do). Memory is
// bounded: past max_bytes (kMaxBytes unless given; the values and their
// long texts) it forgets every row and fills again, so a reader whose rows do not fit pays a
// decode per row as without it. Rows that are gone are not remembered.
// Values keep their own long texts, so a row copied out owns everything it
// holds. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "types/value.h"

namespace zembrel {

class DecodedRows {
public:
    static constexpr size_t kMaxBytes = size_t{64} << 20;

    explicit DecodedRows(size_t max_bytes = kMaxBytes) : max_bytes_(max_bytes) {}

    // The row under `rowid`, none when it was not kept. The span lives
    // until the next add.
    std::optional<std::span<const Value>> find(uint64_t rowid) const {
        // 0 marks a free slot, and no row has that id.
        if (slots_.empty() || rowid == 0) return std::nullopt;
        for (size_t at = slot_of(rowid);; at = (at + 1) & mask_) {
            const Slot& slot = slots_[at];
            if (slot.rowid == rowid) return std::span<const Value>(values_.data() + slot.first, slot.width);
            if (slot.rowid == 0) return std::nullopt;
        }
    }
    // Keeps a copy of `row` under `rowid` (an id kept already keeps its
    // first row); `record_bytes` is the size of its stored record, which
    // bounds the texts the copy holds.
    void add(uint64_t rowid, std::span<const Value> row, size_t record_bytes);

    size_t row_count() const { return count_; }

private:
    // Open addressing by row id; row ids start at 1, so 0 marks a free slot.
    struct Slot {
        uint64_t rowid = 0;
        uint32_t first = 0;  // in values_
        uint32_t width = 0;
    };
    size_t slot_of(uint64_t rowid) const {
        uint64_t h = rowid * 0xff51afd7ed558ccdull;
        return (h ^ (h >> 32)) & mask_;
    }
    void forget();
    void grow();

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t count_ = 0;
    std::vector<Value> values_;
    size_t bytes_ = 0;
    size_t max_bytes_;
};

}  // namespace zembrel
