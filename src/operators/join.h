// Join operators: the left input is the pipeline built so far, the right
// input the JOIN table's rows. Output rows are always the left row's values
// followed by the right row's, also for a right join; an unmatched row of the
// outer side comes out once, completed with Nulls. A join lends its row as a
// JoinedRow, which reads its input rows' values where they lie; a consumer
// that keeps it takes a copy (take) or, living no longer than the join,
// images (keep_row), so only what a statement outputs, sorts, groups or
// keeps is ever copied.
//
// Every join decides a match with the same three-valued `=` (and the rest
// of the ON condition) that a filter over the combined row would use, so the
// algorithm chosen never changes which rows come out. The nested-loop, the
// build-right hash and the index joins also keep one order: inner and left
// joins are left-major with right rows in table order, right joins
// right-major with left rows in input order. The merge join and the
// build-left hash join give the same rows in another order; the planner
// takes them only where the statement's order cannot show it.
//
// Thread: one pipeline is driven by one thread.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "operators/basic.h"
#include "operators/operator.h"

namespace zembrel::operators {

enum class JoinType : uint8_t { Inner = 0, Left = 1, Right = 2 };

// The row a join lends: images (Value::lend_from) of one left and one right
// input row's values side by side, or Nulls for the side an unmatched row
// lacks. A joined row refers to its input rows: only the cells are written,
// never a text, so a wide or long value no output reads costs nothing to
// carry through any number of joins. Valid while the input rows' values are.
class JoinedRow {
public:
    JoinedRow(size_t left_width, size_t right_width) : cells_(left_width + right_width), left_width_(left_width) {}
    void show_left(RowView left) { show(0, left_width_, left); }
    void show_right(RowView right) { show(left_width_, cells_.size() - left_width_, right); }
    void null_left() { null(0, left_width_); }
    void null_right() { null(left_width_, cells_.size() - left_width_); }
    RowView view() const { return cells_; }

private:
    void show(size_t from, size_t width, RowView row);
    void null(size_t from, size_t width);

    Row cells_;  // sized once: its values never move, which would copy their texts
    size_t left_width_;
};

// A join that finds its output in batches (every match of one probe row, or
// its NULL-filled row) as pairs of input rows, and lends them out one at a
// time as a JoinedRow. The rows a batch names stay valid until the batch is
// handed out: fill_pending reads on only once it is.
class BufferedJoin : public Operator {
public:
    BufferedJoin(size_t left_width, size_t right_width) : row_(left_width, right_width) {}
    Result<RowView> next() final;

protected:
    // One output row: its left and right input rows; a default view stands
    // for the Nulls of the side an unmatched row lacks.
    struct Match {
        RowView left;
        RowView right;
    };
    // Adds the next non-empty batch to `pending_` (empty when called);
    // false at the end.
    virtual Result<bool> fill_pending() = 0;
    std::vector<Match> pending_;

private:
    JoinedRow row_;
    size_t next_ = 0;
    // The input rows row_ shows, so that a side a batch repeats is shown
    // once (rows of an earlier batch may have changed in place).
    RowView shown_left_;
    RowView shown_right_;
    bool shown_ = false;
};

// Any ON condition: every pair of rows is tested, on the joined row itself.
// Inner and left joins read the left input one row at a time and stream
// their output; a right join keeps the drained left input (keep_row).
class NestedLoopJoin final : public Operator {
public:
    NestedLoopJoin(OperatorPtr left, SharedRows right_rows, RowPredicate on, size_t left_width, size_t right_width,
                   JoinType type);
    Result<RowView> next() override;
    bool values_stay_valid() const override { return type_ == JoinType::Right || left_->values_stay_valid(); }

private:
    Result<RowView> next_right_major();

    OperatorPtr left_;
    SharedRows right_rows_;
    RowPredicate on_;
    JoinType type_;
    JoinedRow row_;
    bool has_left_ = false;  // inner and left: a left row is being joined
    bool matched_ = false;   // the row being joined has met a match
    size_t right_position_ = 0;
    // Right join: the kept left rows and the next one to test.
    std::vector<Row> left_rows_;
    bool left_drained_ = false;
    size_t left_position_ = 0;
};

// An ON condition that is an AND of left column = right column equalities.
// The build side is hashed on a form coarser than `=` (numbers by their
// double value, every text kind by its bytes) and each candidate is then
// tested with `=` itself, so Int 1 meets Float 1.0 exactly as under a nested
// loop and a NULL key meets nothing. Inner and left joins build on the
// right rows and read the left input one row at a time; a right join builds
// on the drained left input (kept as keep_row keeps it) and walks the right
// rows in table order.
class HashJoin final : public BufferedJoin {
public:
    HashJoin(OperatorPtr left, SharedRows right_rows, std::vector<size_t> left_keys, std::vector<size_t> right_keys,
             size_t left_width, size_t right_width, JoinType type);

    // Inner join hashing the left rows (a list, in input order) instead:
    // the output is grouped by right row in table order, each with its
    // matching left rows in left order. Nothing is built when either list
    // is empty.
    static std::unique_ptr<HashJoin> build_left(SharedRows left_rows, SharedRows right_rows,
                                                std::vector<size_t> left_keys, std::vector<size_t> right_keys,
                                                size_t left_width, size_t right_width);

    bool values_stay_valid() const override {
        return left_list_ || type_ == JoinType::Right || left_->values_stay_valid();
    }

private:
    Result<bool> fill_pending() override;
    bool keys_equal(RowView left, RowView right) const;

    OperatorPtr left_;
    SharedRows right_rows_;
    std::vector<size_t> left_keys_;
    std::vector<size_t> right_keys_;
    JoinType type_;
    std::unordered_map<size_t, std::vector<size_t>> table_;  // key hash -> build positions, ascending
    bool built_ = false;
    std::vector<Row> left_rows_;  // right join: the build side
    SharedRows left_list_;        // build-left: the build side
    size_t right_position_ = 0;
};

// Inner join on one key pair over two lists sorted by their key under `=`'s
// own order: rows are paired per run of equal keys, in ascending key order,
// left-major inside a run (left rows in input order, right rows in table
// order). Rows whose key is NULL are left out. Correct only where `=` is an
// equivalence on the keys present: `merge_keys_compatible` says when.
class MergeJoin final : public BufferedJoin {
public:
    MergeJoin(SharedRows left_rows, SharedRows right_rows, size_t left_key, size_t right_key, size_t left_width,
              size_t right_width);
    bool values_stay_valid() const override { return true; }

private:
    Result<bool> fill_pending() override;

    SharedRows left_rows_;
    SharedRows right_rows_;
    size_t left_key_;
    size_t right_key_;
    // Positions of the rows with a non-NULL key, sorted stably by key.
    std::vector<size_t> left_order_;
    std::vector<size_t> right_order_;
    size_t left_pos_ = 0;
    size_t right_pos_ = 0;
};

// Whether `=` orders and groups the non-NULL key values of both lists
// transitively, so a merge pairs exactly the rows `=` pairs: false when
// integers meet floats (large integers share one double) or UUIDs meet
// dates (a UUID sorts below every date whatever its text).
bool merge_keys_compatible(RowsView left, size_t left_key, RowsView right,
                           size_t right_key);

// Hash of a join key consistent with `=`: values that compare equal hash
// alike; none when a key value is NULL (it can match nothing).
std::optional<size_t> join_key_hash(RowView row, const std::vector<size_t>& positions);

}  // namespace zembrel::operators
