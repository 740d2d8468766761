#include "operators/hash_aggregate.h"

#include <optional>
#include <unordered_map>

#include "operators/key_hash.h"
#include "types/stable_sort.h"

namespace zembrel::operators {

namespace {

struct Accumulator {
    std::optional<Value> min;
    std::optional<Value> max;
    uint64_t rows = 0;
    uint64_t values = 0;
    double sum = 0.0;
    bool has_sum = false;
};

void accumulate(Accumulator& acc, const AggregateCall& call, RowView row) {
    if (call.kind == AggregateKind::CountStar) {
        ++acc.rows;
        return;
    }
    if (call.position >= row.size()) invariant_failed("aggregate position outside the row");
    const Value& v = row[call.position];
    switch (call.kind) {
        case AggregateKind::CountStar: break;
        case AggregateKind::Count:
            if (!v.is_null()) ++acc.values;
            break;
        case AggregateKind::Sum:
        case AggregateKind::Avg:
            if (v.is_int() || v.is_float()) {
                acc.sum += v.is_int() ? static_cast<double>(v.as_int()) : v.as_float();
                acc.has_sum = true;
                if (call.kind == AggregateKind::Avg) ++acc.values;
            }
            break;
        case AggregateKind::Min:
            if (!v.is_null() && (!acc.min || Value::sql_cmp(v, *acc.min) < 0)) acc.min = v;
            break;
        case AggregateKind::Max:
            if (!v.is_null() && (!acc.max || Value::sql_cmp(v, *acc.max) > 0)) acc.max = v;
            break;
    }
}

Value result_of(const Accumulator& acc, AggregateKind kind) {
    switch (kind) {
        case AggregateKind::CountStar: return Value::integer(static_cast<int64_t>(acc.rows));
        case AggregateKind::Count: return Value::integer(static_cast<int64_t>(acc.values));
        case AggregateKind::Sum: return acc.has_sum ? Value::floating(acc.sum) : Value::null();
        case AggregateKind::Avg:
            return acc.values != 0 ? Value::floating(acc.sum / static_cast<double>(acc.values)) : Value::null();
        case AggregateKind::Min: return acc.min ? *acc.min : Value::null();
        case AggregateKind::Max: return acc.max ? *acc.max : Value::null();
    }
    return Value::null();
}

}  // namespace

HashAggregate::HashAggregate(OperatorPtr child, std::vector<size_t> group_positions,
                             std::vector<AggregateCall> aggregates, std::vector<AggregateOutput> outputs)
    : child_(std::move(child)),
      group_positions_(std::move(group_positions)),
      aggregates_(std::move(aggregates)),
      outputs_(std::move(outputs)) {}

Status HashAggregate::run() {
    std::unordered_map<std::vector<Value>, std::vector<Accumulator>, KeyHash, KeyEqual> groups;
    std::vector<Value> key;  // reused: a lookup allocates only for a new group
    key.reserve(group_positions_.size());
    for (;;) {
        auto got = child_->next();
        if (!got) return fail(got.error());
        if (!*got) break;
        const RowView row = *got;
        key.clear();
        for (size_t p : group_positions_) {
            if (p >= row.size()) invariant_failed("group position outside the row");
            key.push_back(row[p]);
        }
        auto it = groups.find(key);
        if (it == groups.end()) it = groups.emplace(key, std::vector<Accumulator>(aggregates_.size())).first;
        for (size_t i = 0; i < aggregates_.size(); ++i) accumulate(it->second[i], aggregates_[i], row);
    }
    if (groups.empty() && group_positions_.empty())
        groups.emplace(std::vector<Value>{}, std::vector<Accumulator>(aggregates_.size()));
    // Groups come out in key order.
    using Group = std::pair<const std::vector<Value>, std::vector<Accumulator>>;
    std::vector<Group*> ordered;
    ordered.reserve(groups.size());
    for (Group& g : groups) ordered.push_back(&g);
    KeyLess less;
    stable_merge_sort(ordered, [&less](const Group* a, const Group* b) { return less(a->first, b->first); });
    results_.reserve(groups.size());
    for (Group* group : ordered) {
        const std::vector<Value>& group_key = group->first;
        std::vector<Accumulator>& accs = group->second;
        Row out;
        out.reserve(outputs_.size());
        for (const AggregateOutput& o : outputs_) {
            if (o.source == AggregateOutput::Source::GroupKey) {
                if (o.index >= group_key.size()) invariant_failed("group key index outside the key");
                out.push_back(group_key[o.index]);
            } else {
                if (o.index >= accs.size()) invariant_failed("aggregate index outside the calls");
                out.push_back(result_of(accs[o.index], aggregates_[o.index].kind));
            }
        }
        results_.push_back(std::move(out));
    }
    return {};
}

Result<RowView> HashAggregate::next() {
    if (!finished_) {
        if (auto st = run(); !st) return fail(st.error());
        finished_ = true;
    }
    if (position_ >= results_.size()) return RowView();
    return RowView(results_[position_++]);
}

Row HashAggregate::take(RowView) {
    // Each result row is handed out once, so the last one may be given away.
    return std::move(results_[position_ - 1]);
}

}  // namespace zembrel::operators
