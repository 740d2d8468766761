// Window functions over fully drained input: ROW_NUMBER, RANK and SUM OVER
// (PARTITION BY ... ORDER BY ... ROWS BETWEEN ...).
//
// Partitions group rows whose PARTITION BY values are equal under
// Value::key_cmp; within a partition rows keep input order and are then
// sorted stably by the window's ORDER BY (Value::sql_cmp). RANK gives each
// row 1 + the position of the first row of its peer group (rows equal on
// every ORDER BY value). SUM adds Int and Float values of the frame's rows as
// 64-bit floats (NULL when none was numeric); frames are ROWS frames in
// sorted positions, the default is UNBOUNDED PRECEDING to CURRENT ROW, a
// frame written backwards is read in the right order, and the arithmetic
// saturates at the partition's ends. Each sum has the bits of its frame's
// values added in row order: a frame costs O(1) where no addition can round
// or its start stays put, else the frame's length (see evaluate_sum).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "operators/operator.h"

namespace zembrel::operators {

enum class WindowFuncCode : uint8_t { RowNumber = 0, Rank = 1, Sum = 2 };

struct FrameBound {
    enum class Kind : uint8_t {
        UnboundedPreceding = 0,
        UnboundedFollowing = 1,
        Preceding = 2,
        Following = 3,
        CurrentRow = 4
    };
    Kind kind = Kind::CurrentRow;
    uint64_t offset = 0;  // Preceding and Following only
};

struct WindowPlan {
    std::optional<size_t> value_col;                          // the SUM argument
    std::optional<std::pair<FrameBound, FrameBound>> frame;   // absent: the default frame
    std::vector<size_t> partition_by;                         // positions in the input rows
    std::vector<SortKey> order_by;                            // over the input rows
    size_t output_slot = 0;                                   // position in the output rows
    WindowFuncCode func = WindowFuncCode::RowNumber;
};

// Writes each window's value into output[i][output_slot] for every input
// row *input[i]. `output` is parallel to `input`; positions lie inside the
// rows (the planner guarantees it; otherwise the process ends). Windows with
// the same PARTITION BY and ORDER BY share one partitioning and one sort.
void evaluate_windows(const std::vector<WindowPlan>& plans, const std::vector<RowView>& input,
                      std::vector<Row>& output);

}  // namespace zembrel::operators
