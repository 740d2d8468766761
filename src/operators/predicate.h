// Bound conditions: a WHERE or ON condition without subqueries whose column
// references are positions in the (joined) row, and the three-valued logic
// every condition of the engine is evaluated with.
//
// Truth: a comparison with NULL is Indeterminate; NOT keeps Indeterminate;
// AND and OR follow Kleene's tables. A row passes a condition only when it
// is True. IS NULL and IS NOT NULL are never Indeterminate. Comparisons use
// Value::sql_cmp, so Int 1 equals Float 1.0.
//
// Ownership: a predicate owns its children and literals; copies are deep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "types/table.h"
#include "types/value.h"

namespace zembrel::operators {

enum class Truth : uint8_t { False = 0, True = 1, Indeterminate = 2 };

// Comparison operator codes, shared with the statement tree: 0 "=", 1 "<>",
// 2 "<", 3 ">", 4 "<=", 5 ">=".
enum class CompareCode : uint8_t { Eq = 0, Ne = 1, Lt = 2, Gt = 3, Le = 4, Ge = 5 };

Truth truth_not(Truth t);
Truth truth_and(Truth a, Truth b);
Truth truth_or(Truth a, Truth b);
// Indeterminate when either side is Null; else the operator over sql_cmp.
Truth compare_truth(CompareCode op, const Value& left, const Value& right);

class BoundPredicate {
public:
    enum class Kind : uint8_t { Compare = 0, IsNull = 1, IsNotNull = 2, And = 3, Or = 4, Not = 5 };

    static BoundPredicate compare_literal(CompareCode op, size_t left, Value literal);
    static BoundPredicate compare_columns(CompareCode op, size_t left, size_t right);
    static BoundPredicate is_null(size_t position);
    static BoundPredicate is_not_null(size_t position);
    static BoundPredicate both(BoundPredicate left, BoundPredicate right);    // AND
    static BoundPredicate either(BoundPredicate left, BoundPredicate right);  // OR
    static BoundPredicate negate(BoundPredicate inner);                       // NOT

    BoundPredicate(const BoundPredicate& other);
    BoundPredicate& operator=(const BoundPredicate& other);
    BoundPredicate(BoundPredicate&&) noexcept = default;
    BoundPredicate& operator=(BoundPredicate&&) noexcept = default;

    // Three-valued evaluation over a row; positions lie inside the row (the
    // binder guarantees it; otherwise the process ends).
    Truth eval(RowView row) const;

    // The (left position, right position - left_width) pairs of an AND of
    // column = column comparisons across the boundary at left_width; none
    // for any other shape (the join is then not an equi-join).
    std::optional<std::vector<std::pair<size_t, size_t>>> equi_pairs(size_t left_width) const;

    Kind kind() const { return kind_; }
    CompareCode op() const { return op_; }
    size_t left_position() const { return left_; }
    // For Compare: the literal, or none when the right side is a column.
    const std::optional<Value>& literal() const { return literal_; }
    size_t right_position() const { return right_; }
    const BoundPredicate* first() const { return a_.get(); }
    const BoundPredicate* second() const { return b_.get(); }

private:
    BoundPredicate() = default;
    Kind kind_ = Kind::Compare;
    CompareCode op_ = CompareCode::Eq;
    size_t left_ = 0;   // Compare: left column; IsNull / IsNotNull: the column
    size_t right_ = 0;  // Compare with a column on the right
    std::optional<Value> literal_;
    std::unique_ptr<BoundPredicate> a_;  // And, Or: left; Not: inner
    std::unique_ptr<BoundPredicate> b_;  // And, Or: right
};

}  // namespace zembrel::operators
