// GROUP BY and the aggregate functions COUNT(*), COUNT(column), SUM, MIN,
// MAX and AVG. The first next() drains the child completely; groups then
// come out in ascending key order (group keys compared value by value with
// Value::key_cmp, so NULL keys first and Int 1 apart from Float 1.0).
//
// SUM and AVG add Int and Float values as 64-bit floats (SUM of Ints is a
// Float) and skip every other kind; MIN and MAX use Value::sql_cmp and skip
// NULL. Without GROUP BY an empty input still gives one row (COUNT 0, the
// others NULL); with GROUP BY it gives none. Memory grows with the number
// of groups, not of rows.
#pragma once

#include <cstdint>
#include <vector>

#include "operators/operator.h"

namespace zembrel::operators {

enum class AggregateKind : uint8_t { CountStar = 0, Count = 1, Sum = 2, Min = 3, Max = 4, Avg = 5 };

struct AggregateCall {
    AggregateKind kind = AggregateKind::CountStar;
    size_t position = 0;  // the argument column; unused for CountStar
};

// One output column: a group key value or an aggregate's result.
struct AggregateOutput {
    enum class Source : uint8_t { GroupKey = 0, Aggregate = 1 };
    Source source = Source::GroupKey;
    size_t index = 0;  // into the group positions or the aggregate calls
};

class HashAggregate final : public Operator {
public:
    HashAggregate(OperatorPtr child, std::vector<size_t> group_positions, std::vector<AggregateCall> aggregates,
                  std::vector<AggregateOutput> outputs);
    Result<RowView> next() override;
    bool rows_stay_valid() const override { return true; }
    Row take(RowView lent) override;

private:
    Status run();

    OperatorPtr child_;
    std::vector<size_t> group_positions_;
    std::vector<AggregateCall> aggregates_;
    std::vector<AggregateOutput> outputs_;
    std::vector<Row> results_;
    size_t position_ = 0;
    bool finished_ = false;
};

}  // namespace zembrel::operators
