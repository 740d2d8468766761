#include "btree/key_order.h"

#include <algorithm>

namespace zembrel {

namespace {

struct Entry {
    unsigned __int128 prefix;
    size_t row;
    bool exact;  // the prefix stands for the first value wholly
};

}  // namespace

std::vector<KeyedRow> rows_in_key_order(std::span<const Row> rows, std::span<const size_t> positions, bool skip_nulls) {
    std::vector<Entry> entries;
    entries.reserve(rows.size());
    const size_t first = positions.empty() ? 0 : positions.front();
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
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
    if (!std::is_sorted(entries.begin(), entries.end(), less)) std::sort(entries.begin(), entries.end(), less);
    std::vector<KeyedRow> order;
    order.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        order.push_back(KeyedRow{entries[i].row, i > 0 && key_order(entries[i - 1], entries[i]) == 0});
    return order;
}

}  // namespace zembrel
