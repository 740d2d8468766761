// Join operators: the left input is the pipeline built so far, the right
// input the JOIN table's rows. Output rows are always the left row's values
// followed by the right row's, also for a right join; an unmatched row of the
// outer side comes out once, completed with Nulls.
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
#include <deque>
#include <unordered_map>
#include <vector>

#include "operators/basic.h"
#include "operators/operator.h"

namespace zembrel::operators {

enum class JoinType : uint8_t { Inner = 0, Left = 1, Right = 2 };

// A join makes its output in batches (every match of one probe row, or its
// NULL-filled row) and lends them out one at a time.
class BufferedJoin : public Operator {
public:
    Result<RowView> next() final;
    Row take(RowView) final { return std::move(current_); }

protected:
    // Adds the next non-empty batch to `pending_`; false at the end.
    virtual Result<bool> fill_pending() = 0;
    std::deque<Row> pending_;

private:
    Row current_;
};

// Any ON condition: every pair of rows is tested. Inner and left joins read
// the left input one row at a time; a right join drains it first.
class NestedLoopJoin final : public BufferedJoin {
public:
    NestedLoopJoin(OperatorPtr left, SharedRows right_rows, RowPredicate on, size_t left_width, size_t right_width,
                   JoinType type);

private:
    Result<bool> fill_pending() override;

    OperatorPtr left_;
    SharedRows right_rows_;
    RowPredicate on_;
    size_t left_width_;
    size_t right_width_;
    JoinType type_;
    // Right join: the drained left rows and the next right row to test.
    std::vector<Row> left_rows_;
    bool left_drained_ = false;
    size_t right_position_ = 0;
    Row scratch_;
};

// An ON condition that is an AND of left column = right column equalities.
// The build side is hashed on a form coarser than `=` (numbers by their
// double value, every text kind by its bytes) and each candidate is then
// tested with `=` itself, so Int 1 meets Float 1.0 exactly as under a nested
// loop and a NULL key meets nothing. Inner and left joins build on the
// right rows and read the left input one row at a time; a right join builds
// on the drained left input and walks the right rows in table order.
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

private:
    Result<bool> fill_pending() override;
    bool keys_equal(RowView left, RowView right) const;

    OperatorPtr left_;
    SharedRows right_rows_;
    std::vector<size_t> left_keys_;
    std::vector<size_t> right_keys_;
    size_t left_width_;
    size_t right_width_;
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
    MergeJoin(std::vector<Row> left_rows, SharedRows right_rows, size_t left_key, size_t right_key);

private:
    Result<bool> fill_pending() override;

    std::vector<Row> left_rows_;
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
