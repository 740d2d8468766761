// ExternalSort: the ORDER BY operator. The first next() drains the child;
// inputs whose rows fit in the memory budget are sorted in memory, larger
// ones are cut into sorted runs written to run files (run_file.h) and
// merged in one pass (a heap over the runs' heads, ties taken from the
// lower run). Every sort is stable: rows that compare equal come out in
// the child's order.
//
// The budget counts the bytes the sort itself holds per row: its slot (a
// pointer and the sort cell of its first key) and, for a row it had to
// copy, an estimate of the copy's bytes. Rows lent
// for good by the child cost their slot only: spilling them would free
// nothing but the slot. A run ends with the row that reaches the budget, so
// a budget of 1 byte writes every row as its own run.
//
// Run files have no name: each is created in the temporary directory (TMPDIR,
// else /tmp, read at the first spill) without one and held open by the sort
// from its writing to the end of the merge, so nothing the sort spills
// outlives the process, however it ends. In messages a run is called
// "zembrel_sort_{uuid}_run_{NNNN}.sort", one uuid per sort. A sort that
// fits in memory touches no file. The runs are closed, and so gone, when
// the merge ends, when the sort fails before its first row (the child's
// error included), and when the operator is released early.
//
// Errors: the child's, and run_file.h's; a temporary directory that is
// missing or not writable fails the first spill with "create sort run:
// temporary directory '{}' is missing or not writable: {}".
//
// With `keep_first` = k (an ORDER BY under LIMIT k) the sort keeps only the
// k first rows of the stable order in memory while it reads; when the copies
// of those rows outgrow the budget it carries on as an ordinary sort, the
// kept rows becoming the start of its first run.
//
// Rows handed out in memory are lent in place (views of the child's
// rows when those stay valid, else into the sort's own copies).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "operators/operator.h"
#include "sort_spill/run_file.h"

namespace zembrel::sort_spill {

class ExternalSort final : public operators::Operator {
public:
    // `budget` in bytes; 0 is taken as 1.
    ExternalSort(operators::OperatorPtr child, std::vector<operators::SortKey> keys, uint64_t budget,
                 std::optional<uint64_t> keep_first = std::nullopt);
    Result<RowView> next() override;
    Row take(RowView lent) override;

    // For tests: the runs written so far, and the run files still open.
    uint64_t runs_written() const { return runs_written_; }
    size_t runs_open() const { return runs_.size() + readers_.size(); }

private:
    enum class State : uint8_t { NotStarted, InMemory, Merging, Done };

    Status start();
    // True when the k first rows are sorted in memory; false when their
    // copies outgrew the budget, leaving them in buffer_ in input order.
    Result<bool> start_top_k();
    // Pulls the rest of the child's rows, spilling when over budget.
    Status pull_rest();
    // Keeps a lent row: its view when the child's rows stay valid, else a
    // view of images of its values when those stay valid (a join's rows),
    // else a view of a copy held by the sort.
    RowView keep(RowView lent);
    // The row keep holds for a lent row that is not borrowed: images or a copy.
    Row own(RowView lent);
    // The bytes the sort holds for a kept row.
    uint64_t held_for(RowView kept) const;
    Status spill_buffer();
    // Opens the merge over the runs written.
    Status start_merge();
    // Closes every run file.
    void release_runs();
    Result<RowView> next_merged();
    bool run_after(size_t a, size_t b) const;
    void sort_buffer();

    operators::OperatorPtr child_;
    operators::RowComparator cmp_;
    uint64_t budget_;
    uint64_t held_ = 0;  // bytes held for the rows of buffer_
    std::optional<uint64_t> keep_first_;
    bool borrow_ = false;
    bool images_ = false;  // owned_ holds images of the child's values, not copies
    State state_ = State::NotStarted;

    std::deque<Row> owned_;            // images or copies, when the child's rows do not stay valid
    std::vector<RowView> buffer_;      // the current run, or the sorted rows in memory
    size_t position_ = 0;

    std::string temp_dir_;  // the temporary directory, from the first spill on
    std::string sort_id_;   // this sort's uuid in its runs' names, from the first spill on
    uint64_t runs_written_ = 0;
    std::vector<std::unique_ptr<VfsFile>> runs_;  // written, not yet merging
    std::vector<RunReader> readers_;
    std::vector<std::optional<Row>> heads_;
    std::vector<size_t> heap_;  // runs with a head, smallest head on top
    Row current_;
};

}  // namespace zembrel::sort_spill
