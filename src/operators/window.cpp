#include "operators/window.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
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

// The exponent of the lowest set bit of a finite nonzero double: the
// double is a whole multiple of 2 to that power.
int quantum_exponent(double d) {
    const auto bits = std::bit_cast<uint64_t>(d);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    if (biased != 0) mantissa |= uint64_t{1} << 52;
    return (biased == 0 ? -1074 : biased - 1075) + std::countr_zero(mantissa);
}

// Whether no addition among the values can round: all are finite multiples
// of 2^q (q the smallest quantum among them) and their magnitudes add up to
// less than 2^(q+53), so every sum of any of them is a multiple of 2^q that
// a double holds exactly. The magnitudes' own running sum is exact while it
// stays below that bound and, rounding being monotone, lands on or above it
// once the true sum does, so the test on the computed sum is exact.
bool additions_exact(const std::vector<double>& values) {
    int quantum = std::numeric_limits<int>::max();
    double magnitude = 0.0;
    for (double d : values) {
        if (!std::isfinite(d)) return false;
        if (d == 0.0) continue;
        quantum = std::min(quantum, quantum_exponent(d));
        magnitude += std::fabs(d);
    }
    if (quantum == std::numeric_limits<int>::max()) return true;
    if (quantum + 53 >= std::numeric_limits<double>::max_exponent) return std::isfinite(magnitude);
    return magnitude < std::ldexp(1.0, quantum + 53);
}

// SUM must give each row the bits of its frame's values added in row order
// from 0.0; floats do not add associatively, so the difference of two
// running totals is not that sum once a large value precedes small ones.
// Frame starts and ends never move backwards as the row advances, so:
// - where no addition in the partition can round (integers, halves and the
//   like, below 2^53 steps in total: see additions_exact), every in-order sum
//   is the exact sum and the difference of running totals gives its bits:
//   O(1) a row for every frame;
// - otherwise one in-order sum is carried from row to row while the frame's
//   start stays put (UNBOUNDED PRECEDING, or any start held at a partition
//   edge), extended by the rows the end moves over: O(1) a row amortized;
// - a start that moves begins a new sum at the new start, re-adding the
//   frame: O(frame length) a row (n PRECEDING costs n + 1 per row, a moving
//   start with UNBOUNDED FOLLOWING the rest of the partition). Nothing
//   cheaper reproduces the bits of a sum that starts elsewhere.
// Rows without an Int or Float add 0.0, which leaves any such sum as it is
// (it never holds -0.0, having begun at 0.0).
template <class Put>
void evaluate_sum(const WindowPlan& plan, const std::vector<RowView>& input, const SortedPartition& part, Put put) {
    const size_t n = part.rows.size();
    std::vector<double> values(n, 0.0);
    std::vector<size_t> numeric(n + 1, 0);  // numeric[i]: Ints and Floats among the first i rows
    for (size_t i = 0; i < n; ++i) {
        const Value& v = input[part.rows[i]][*plan.value_col];
        numeric[i + 1] = numeric[i];
        if (v.is_int() || v.is_float()) {
            values[i] = v.is_int() ? static_cast<double>(v.as_int()) : v.as_float();
            ++numeric[i + 1];
        }
    }
    const FrameBound start = plan.frame ? plan.frame->first : FrameBound{FrameBound::Kind::UnboundedPreceding, 0};
    const FrameBound end = plan.frame ? plan.frame->second : FrameBound{FrameBound::Kind::CurrentRow, 0};
    std::vector<double> totals;  // totals[i]: the first i rows' sum, when additions are exact
    if (additions_exact(values)) {
        totals.assign(n + 1, 0.0);
        for (size_t i = 0; i < n; ++i) totals[i + 1] = totals[i] + values[i];
    }
    size_t from = 0, next = 0;  // the carried sum covers rows from .. next-1
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) {
        size_t a = frame_position(start, i, n), b = frame_position(end, i, n);
        if (a > b) std::swap(a, b);
        if (numeric[b + 1] == numeric[a]) {
            put(i, Value::null());
            continue;
        }
        if (!totals.empty()) {
            put(i, Value::floating(totals[b + 1] - totals[a]));
            continue;
        }
        if (a != from || b + 1 < next) {
            from = next = a;
            sum = 0.0;
        }
        while (next <= b) sum += values[next++];
        put(i, Value::floating(sum));
    }
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
        case WindowFuncCode::Sum: evaluate_sum(plan, input, part, put); return;
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
