// ExternalSort: the ORDER BY operator. The first next() drains the child;
// inputs whose rows fit in the memory budget are sorted in memory, larger
// ones are cut into sorted runs written to run files (run_file.h) in a
// private spill directory and merged in one pass (a heap over the runs'
// heads, ties taken from the lower run). Every sort is stable: rows
// that compare equal come out in the child's order.
//
// The budget counts the bytes the sort itself holds per row: its slot (a
// pointer and the sort cell of its first key) and, for a row it had to
// copy, an estimate of the copy's bytes. Rows lent
// for good by the child cost their slot only: spilling them would free
// nothing but the slot. A run ends with the row that reaches the budget, so
// a budget of 1 byte writes every row as its own run.
//
// The spill directory, "zembrel_sort_{uuid}" under TMPDIR (else /tmp), is
// created only when the first run must be written, so a sort that fits in
// memory touches no file. It is removed with its runs when the merge ends,
// when the child fails, and when the operator is released early.
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
#include <optional>
#include <string>
#include <vector>

#include "operators/operator.h"
#include "sort_spill/run_file.h"

namespace zembrel::sort_spill {

// A directory removed with everything in it when released.
class SpillDir {
public:
    // Creates "zembrel_sort_{uuid}" (mode 0777 before umask, parents too)
    // in the temporary directory. "sort spill dir: {}" on failure.
    static Result<SpillDir> create();
    SpillDir(SpillDir&& other) noexcept : path_(std::exchange(other.path_, std::string())) {}
    SpillDir& operator=(SpillDir&& other) noexcept;
    SpillDir(const SpillDir&) = delete;
    SpillDir& operator=(const SpillDir&) = delete;
    ~SpillDir() { remove(); }

    const std::string& path() const { return path_; }
    // "run_0000.sort", ... inside the directory.
    std::string run_path(uint64_t index) const;
    // Removes the directory now; failures are ignored.
    void remove();

private:
    explicit SpillDir(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

class ExternalSort final : public operators::Operator {
public:
    // `budget` in bytes; 0 is taken as 1.
    ExternalSort(operators::OperatorPtr child, std::vector<operators::SortKey> keys, uint64_t budget,
                 std::optional<uint64_t> keep_first = std::nullopt);
    Result<RowView> next() override;
    Row take(RowView lent) override;

    // For tests: the spill directory while it exists.
    const std::optional<SpillDir>& spill_dir() const { return dir_; }

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

    std::optional<SpillDir> dir_;
    uint64_t runs_written_ = 0;
    std::vector<RunReader> readers_;
    std::vector<std::optional<Row>> heads_;
    std::vector<size_t> heap_;  // runs with a head, smallest head on top
    Row current_;
};

}  // namespace zembrel::sort_spill
