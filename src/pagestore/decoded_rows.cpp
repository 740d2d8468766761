#include "pagestore/decoded_rows.h"

#include <limits>

namespace zembrel {

void DecodedRows::forget() {
    slots_ = {};
    mask_ = 0;
    count_ = 0;
    values_ = {};
    bytes_ = 0;
}

void DecodedRows::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.rowid == 0) continue;
        size_t at = slot_of(slot.rowid);
        while (slots_[at].rowid != 0) at = (at + 1) & mask_;
        slots_[at] = slot;
    }
}

void DecodedRows::add(uint64_t rowid, std::span<const Value> row, size_t record_bytes) {
    if (rowid == 0) return;
    // A value costs its 16 bytes, a long text its bytes besides, and the
    // slot its share of the table: the record's size stands for the texts.
    const size_t cost = row.size() * sizeof(Value) + record_bytes + 2 * sizeof(Slot);
    if (bytes_ + cost > max_bytes_ || values_.size() + row.size() > std::numeric_limits<uint32_t>::max()) {
        forget();
        if (cost > max_bytes_) return;
    }
    if ((count_ + 1) * 2 > slots_.size()) grow();
    size_t at = slot_of(rowid);
    for (; slots_[at].rowid != 0; at = (at + 1) & mask_)
        if (slots_[at].rowid == rowid) return;
    slots_[at] = Slot{rowid, static_cast<uint32_t>(values_.size()), static_cast<uint32_t>(row.size())};
    ++count_;
    values_.insert(values_.end(), row.begin(), row.end());
    bytes_ += cost;
}

}  // namespace zembrel
