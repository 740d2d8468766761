#include "operators/window.h"

#include <unordered_map>

#include "operators/key_hash.h"
#include "types/stable_sort.h"

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

bool same_spec(const WindowPlan& a, const WindowPlan& b) {
    return a.partition_by == b.partition_by && a.order_by == b.order_by;
}

// One partition in window order: its rows (input positions) and, row by
// row, copies of their ORDER BY values side by side, so sorting and peer
// tests read contiguous memory instead of chasing every row.
struct SortedPartition {
    std::vector<size_t> rows;
    std::vector<Value> keys;  // rows.size() * order_by.size()
};

SortedPartition sort_partition(const std::vector<SortKey>& order_by, const std::vector<RowView>& input,
                               const std::vector<size_t>& rows) {
    const size_t k = order_by.size();
    SortedPartition out;
    if (k == 0) {
        out.rows = rows;
        return out;
    }
    std::vector<Value> keys;
    keys.reserve(rows.size() * k);
    for (size_t r : rows)
        for (const SortKey& key : order_by) keys.push_back(input[r][key.position]);
    std::vector<size_t> perm(rows.size());
    for (size_t i = 0; i < perm.size(); ++i) perm[i] = i;
    stable_merge_sort(perm, [&](size_t a, size_t b) {
        for (size_t j = 0; j < k; ++j) {
            std::strong_ordering c = Value::sql_cmp(keys[a * k + j], keys[b * k + j]);
            if (c != 0) return order_by[j].ascending ? c < 0 : c > 0;
        }
        return false;
    });
    out.rows.reserve(rows.size());
    out.keys.reserve(keys.size());
    for (size_t p : perm) {
        out.rows.push_back(rows[p]);
        for (size_t j = 0; j < k; ++j) out.keys.push_back(std::move(keys[p * k + j]));
    }
    return out;
}

bool peers(const SortedPartition& part, size_t k, size_t a, size_t b) {
    for (size_t j = 0; j < k; ++j)
        if (Value::sql_cmp(part.keys[a * k + j], part.keys[b * k + j]) != 0) return false;
    return true;
}

void evaluate(const WindowPlan& plan, const std::vector<RowView>& input, const SortedPartition& part,
              std::vector<Row>& output) {
    const size_t n = part.rows.size();
    if (n == 0) return;
    auto put = [&](size_t i, Value v) { output[part.rows[i]][plan.output_slot] = std::move(v); };
    switch (plan.func) {
        case WindowFuncCode::RowNumber:
            for (size_t i = 0; i < n; ++i) put(i, Value::integer(static_cast<int64_t>(i + 1)));
            return;
        case WindowFuncCode::Rank: {
            size_t first = 0;
            for (size_t i = 0; i < n; ++i) {
                if (i > 0 && !peers(part, plan.order_by.size(), i - 1, i)) first = i;
                put(i, Value::integer(static_cast<int64_t>(first + 1)));
            }
            return;
        }
        case WindowFuncCode::Sum: {
            // sums[i], counts[i]: total and number of numeric values of the
            // first i rows in window order.
            std::vector<double> sums(n + 1, 0.0);
            std::vector<uint64_t> counts(n + 1, 0);
            for (size_t i = 0; i < n; ++i) {
                const Value& v = input[part.rows[i]][*plan.value_col];
                sums[i + 1] = sums[i];
                counts[i + 1] = counts[i];
                if (v.is_int() || v.is_float()) {
                    sums[i + 1] += v.is_int() ? static_cast<double>(v.as_int()) : v.as_float();
                    ++counts[i + 1];
                }
            }
            const FrameBound start =
                plan.frame ? plan.frame->first : FrameBound{FrameBound::Kind::UnboundedPreceding, 0};
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

void check_positions(const WindowPlan& plan, const std::vector<RowView>& input, const std::vector<Row>& output) {
    for (size_t i = 0; i < input.size(); ++i) {
        RowView row = input[i];
        for (size_t p : plan.partition_by)
            if (p >= row.size()) invariant_failed("partition position outside the row");
        for (const SortKey& k : plan.order_by)
            if (k.position >= row.size()) invariant_failed("window order position outside the row");
        if (plan.value_col && *plan.value_col >= row.size()) invariant_failed("window argument outside the row");
        if (plan.output_slot >= output[i].size()) invariant_failed("window output slot outside the row");
    }
    if (plan.func == WindowFuncCode::Sum && !plan.value_col) invariant_failed("SUM window without an argument");
}

}  // namespace

void evaluate_windows(const std::vector<WindowPlan>& plans, const std::vector<RowView>& input,
                      std::vector<Row>& output) {
    if (output.size() != input.size()) invariant_failed("window output not parallel to its input");
    for (const WindowPlan& plan : plans) check_positions(plan, input, output);
    std::vector<bool> done(plans.size(), false);
    for (size_t first = 0; first < plans.size(); ++first) {
        if (done[first]) continue;
        const WindowPlan& spec = plans[first];
        // Partitions group equal PARTITION BY values under key order; their
        // order among each other does not matter, rows keep input order.
        std::vector<std::vector<size_t>> partitions;
        if (spec.partition_by.empty()) {
            partitions.emplace_back(input.size());
            for (size_t i = 0; i < input.size(); ++i) partitions.back()[i] = i;
        } else {
            std::unordered_map<std::vector<Value>, size_t, KeyHash, KeyEqual> index;
            std::vector<Value> key;
            for (size_t i = 0; i < input.size(); ++i) {
                key.clear();
                for (size_t p : spec.partition_by) key.push_back(input[i][p]);
                auto [it, fresh] = index.try_emplace(key, partitions.size());
                if (fresh) partitions.emplace_back();
                partitions[it->second].push_back(i);
            }
        }
        for (const std::vector<size_t>& rows : partitions) {
            const SortedPartition part = sort_partition(spec.order_by, input, rows);
            for (size_t w = first; w < plans.size(); ++w) {
                if (same_spec(plans[w], spec)) evaluate(plans[w], input, part, output);
            }
        }
        for (size_t w = first; w < plans.size(); ++w)
            if (same_spec(plans[w], spec)) done[w] = true;
    }
}

}  // namespace zembrel::operators
