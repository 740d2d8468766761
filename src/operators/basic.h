// The simple operators: scans of a row list, an adapter over a row-producing
// callable, Filter, Project and Limit. None produces an error of its own;
// errors of children and sources pass through unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "operators/operator.h"

namespace zembrel::operators {

// A list of rows shared by its holders. A scan of a loaded table holds a
// non-owning view of the table's own rows (read in place; valid for the
// statement, which changes no table); a snapshot read from the page file, or
// rows a statement collected, are owned by the handle. An empty handle
// names no list and tests false.
class SharedRows {
public:
    SharedRows() = default;
    SharedRows(std::nullptr_t) {}  // NOLINT: the empty handle
    SharedRows(std::shared_ptr<const void> owner, RowsView rows) : owner_(std::move(owner)), rows_(rows), set_(true) {}
    const RowsView& operator*() const { return rows_; }
    const RowsView* operator->() const { return &rows_; }
    explicit operator bool() const { return set_; }

private:
    std::shared_ptr<const void> owner_;
    RowsView rows_;
    bool set_ = false;
};

// Rows of `rows` lent in place, without ownership: valid while `rows` is.
SharedRows borrow_rows(RowsView rows);
// Rows owned by the shared list.
SharedRows own_rows(std::vector<Row> rows);

// Rows kept from `source` (keep_row) as one list that holds `source` as
// well, so that the values the rows' images read live as long as the list.
SharedRows kept_rows(OperatorPtr source, std::vector<Row> rows);
// Drains `source` to its end into such a list (the first error is returned).
Result<SharedRows> drain_kept(OperatorPtr source);

// Hands out the list's rows in list order, in place.
class TableScan final : public Operator {
public:
    explicit TableScan(SharedRows rows) : rows_(std::move(rows)) {}
    Result<RowView> next() override;
    bool rows_stay_valid() const override { return true; }

private:
    SharedRows rows_;
    size_t position_ = 0;
};

// A row-producing callable: each call yields a row, the end (none) or an
// error, with next()'s meaning. Used for cursors over page-file tables.
using RowSource = std::function<Result<std::optional<Row>>()>;

class RowIterSource final : public Operator {
public:
    explicit RowIterSource(RowSource source) : source_(std::move(source)) {}
    Result<RowView> next() override;
    Row take(RowView) override { return std::move(current_); }

private:
    RowSource source_;
    Row current_;
};

// Passes the child's rows for which the predicate holds (is True).
class Filter final : public Operator {
public:
    Filter(OperatorPtr child, RowPredicate predicate) : child_(std::move(child)), predicate_(std::move(predicate)) {}
    Result<RowView> next() override;
    bool rows_stay_valid() const override { return child_->rows_stay_valid(); }
    bool values_stay_valid() const override { return child_->values_stay_valid(); }
    Row take(RowView lent) override { return child_->take(lent); }

private:
    OperatorPtr child_;
    RowPredicate predicate_;
};

// Builds each row from copies of the child row's values at `positions` (a
// position may repeat; every position lies inside the child's rows).
// A projection that keeps every column in place hands the child's row on
// as it is.
class Project final : public Operator {
public:
    Project(OperatorPtr child, std::vector<size_t> positions);
    Result<RowView> next() override;
    bool rows_stay_valid() const override { return identity_ && child_->rows_stay_valid(); }
    bool values_stay_valid() const override { return identity_ && child_->values_stay_valid(); }
    Row take(RowView lent) override { return passed_on_ ? child_->take(lent) : std::move(current_); }

private:
    OperatorPtr child_;
    std::vector<size_t> positions_;
    bool identity_ = true;   // positions are 0, 1, ..., n - 1
    bool passed_on_ = false;  // the last row is the child's own
    Row current_;
};

// Passes at most `remaining` rows and never asks the child for more.
class Limit final : public Operator {
public:
    Limit(OperatorPtr child, uint64_t remaining) : child_(std::move(child)), remaining_(remaining) {}
    Result<RowView> next() override;
    bool rows_stay_valid() const override { return child_->rows_stay_valid(); }
    bool values_stay_valid() const override { return child_->values_stay_valid(); }
    Row take(RowView lent) override { return child_->take(lent); }

private:
    OperatorPtr child_;
    uint64_t remaining_;
};

}  // namespace zembrel::operators
