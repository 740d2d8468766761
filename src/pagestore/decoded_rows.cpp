#include "pagestore/decoded_rows.h"

#include <limits>

namespace zembrel {

void DecodedRows::add(uint64_t rowid, std::span<const Value> row, size_t record_bytes) {
    // A value costs its 16 bytes, a long text its bytes besides, and the
    // map its node: the record's size stands for the texts.
    const size_t cost = row.size() * sizeof(Value) + record_bytes + 48;
    if (bytes_ + cost > kMaxBytes || values_.size() + row.size() > std::numeric_limits<uint32_t>::max()) {
        at_.clear();
        values_.clear();
        values_.shrink_to_fit();
        bytes_ = 0;
        if (cost > kMaxBytes) return;
    }
    auto [it, fresh] = at_.try_emplace(rowid, static_cast<uint32_t>(values_.size()), static_cast<uint32_t>(row.size()));
    if (!fresh) return;
    values_.insert(values_.end(), row.begin(), row.end());
    bytes_ += cost;
}

}  // namespace zembrel
