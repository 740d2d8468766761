#include "operators/window.h"

#include <map>

namespace zembrel::operators {

namespace {

size_t frame_position(const FrameBound& bound, size_t i, size_t n) {
    switch (bound.kind) {
        case FrameBound::Kind::UnboundedPreceding: return 0;
        case FrameBound::Kind::UnboundedFollowing: return n - 1;
        case FrameBound::Kind::Preceding: return bound.offset > i ? 0 : i - bound.offset;
        case FrameBound::Kind::Following: return bound.offset > n - 1 - i ? n - 1 : i + bound.offset;
        case FrameBound::Kind::CurrentRow: return i;
    }
    return i;
}

bool peers(const std::vector<SortKey>& keys, const Row& a, const Row& b) {
    for (const SortKey& k : keys) {
        if (Value::sql_cmp(a[k.position], b[k.position]) != 0) return false;
    }
    return true;
}

void evaluate_partition(const WindowPlan& plan, const std::vector<const Row*>& input, std::vector<size_t>& rows,
                        std::vector<Row>& output) {
    const size_t n = rows.size();
    if (n == 0) return;
    if (!plan.order_by.empty()) {
        RowComparator cmp(plan.order_by);
        stable_merge_sort(rows, [&](size_t a, size_t b) { return cmp.less(*input[a], *input[b]); });
    }
    auto put = [&](size_t i, Value v) {
        Row& out = output[rows[i]];
        if (plan.output_slot >= out.size()) fatal("window output slot outside the row");
        out[plan.output_slot] = std::move(v);
    };
    switch (plan.func) {
        case WindowFuncCode::RowNumber:
            for (size_t i = 0; i < n; ++i) put(i, Value::integer(static_cast<int64_t>(i + 1)));
            return;
        case WindowFuncCode::Rank: {
            size_t first = 0;
            for (size_t i = 0; i < n; ++i) {
                if (i > 0 && !peers(plan.order_by, *input[rows[i - 1]], *input[rows[i]])) first = i;
                put(i, Value::integer(static_cast<int64_t>(first + 1)));
            }
            return;
        }
        case WindowFuncCode::Sum: {
            if (!plan.value_col) fatal("SUM window without an argument");
            // sums[i] and counts[i]: total and number of numeric values of
            // the first i rows.
            std::vector<double> sums(n + 1, 0.0);
            std::vector<uint64_t> counts(n + 1, 0);
            for (size_t i = 0; i < n; ++i) {
                const Value& v = (*input[rows[i]])[*plan.value_col];
                sums[i + 1] = sums[i];
                counts[i + 1] = counts[i];
                if (v.is_int() || v.is_float()) {
                    sums[i + 1] += v.is_int() ? static_cast<double>(v.as_int()) : v.as_float();
                    ++counts[i + 1];
                }
            }
            const FrameBound start = plan.frame ? plan.frame->first : FrameBound{FrameBound::Kind::UnboundedPreceding, 0};
            const FrameBound end = plan.frame ? plan.frame->second : FrameBound{FrameBound::Kind::CurrentRow, 0};
            for (size_t i = 0; i < n; ++i) {
                size_t a = frame_position(start, i, n), b = frame_position(end, i, n);
                if (a > b) std::swap(a, b);
                if (counts[b + 1] == counts[a]) {
                    put(i, Value::null());
                } else {
                    // A frame from the partition's start reads the running
                    // total itself, exactly the left-to-right sum.
                    put(i, Value::floating(a == 0 ? sums[b + 1] : sums[b + 1] - sums[a]));
                }
            }
            return;
        }
    }
}

}  // namespace

void evaluate_window(const WindowPlan& plan, const std::vector<const Row*>& input, std::vector<Row>& output) {
    if (output.size() != input.size()) fatal("window output not parallel to its input");
    for (const Row* lent : input) {
        const Row& row = *lent;
        for (size_t p : plan.partition_by)
            if (p >= row.size()) fatal("partition position outside the row");
        for (const SortKey& k : plan.order_by)
            if (k.position >= row.size()) fatal("window order position outside the row");
        if (plan.value_col && *plan.value_col >= row.size()) fatal("window argument outside the row");
    }
    if (plan.partition_by.empty()) {
        std::vector<size_t> all(input.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        evaluate_partition(plan, input, all, output);
        return;
    }
    std::map<std::vector<Value>, std::vector<size_t>, KeyLess> partitions;
    std::vector<Value> key;
    for (size_t i = 0; i < input.size(); ++i) {
        key.clear();
        for (size_t p : plan.partition_by) key.push_back((*input[i])[p]);
        auto it = partitions.find(key);
        if (it == partitions.end()) it = partitions.emplace(key, std::vector<size_t>{}).first;
        it->second.push_back(i);
    }
    for (auto& [k, rows] : partitions) evaluate_partition(plan, input, rows, output);
}

}  // namespace zembrel::operators
