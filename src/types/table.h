// Tables as the engine holds them in memory. The values of all rows sit in
// one array, row after row, and rows are read through views; a table of n
// rows costs one allocation for its cells (plus the texts), not one per row.
//
// Views lend, they do not own: a RowView or RowsView is valid while what it
// was taken from is unchanged (a table's rows until the table next changes,
// an owned Row until it changes or is freed).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types/cell_array.h"
#include "types/value.h"

namespace zembrel {

// A row read in place: size() values from data(). The default view stands
// for no row at all (the end of a stream of rows) and tests false; it has no
// values to read.
class RowView {
public:
    RowView() = default;
    RowView(const Row& row) : data_(row.data()), size_(row.size()) {}  // NOLINT: a Row reads as its view
    RowView(const Value* cells, size_t n) : data_(cells), size_(n) {}
    RowView(std::span<const Value> cells) : data_(cells.data()), size_(cells.size()) {}  // NOLINT

    explicit operator bool() const { return size_ != kNoRow; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const Value& operator[](size_t i) const { return data_[i]; }
    const Value* data() const { return data_; }
    const Value* begin() const { return data_; }
    const Value* end() const { return data_ + size_; }
    const Value& front() const { return data_[0]; }
    const Value& back() const { return data_[size_ - 1]; }
    operator std::span<const Value>() const { return {data_, size_}; }  // NOLINT
    // An owned copy.
    Row to_row() const { return Row(begin(), end()); }

    // Value by value, as Row's ==.
    friend bool operator==(RowView a, RowView b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

private:
    static constexpr size_t kNoRow = SIZE_MAX;
    const Value* data_ = nullptr;
    size_t size_ = kNoRow;
};

// A random-access iterator over a row list read by position.
template <class List>
class IndexedRowIterator {
public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = RowView;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = RowView;
    IndexedRowIterator() = default;
    IndexedRowIterator(const List* rows, size_t at) : rows_(rows), at_(at) {}
    RowView operator*() const { return (*rows_)[at_]; }
    RowView operator[](difference_type d) const { return (*rows_)[at_ + static_cast<size_t>(d)]; }
    IndexedRowIterator& operator++() { ++at_; return *this; }
    IndexedRowIterator operator++(int) { IndexedRowIterator old = *this; ++at_; return old; }
    IndexedRowIterator& operator--() { --at_; return *this; }
    IndexedRowIterator operator--(int) { IndexedRowIterator old = *this; --at_; return old; }
    IndexedRowIterator& operator+=(difference_type d) { at_ += static_cast<size_t>(d); return *this; }
    IndexedRowIterator& operator-=(difference_type d) { at_ -= static_cast<size_t>(d); return *this; }
    friend IndexedRowIterator operator+(IndexedRowIterator it, difference_type d) { return it += d; }
    friend IndexedRowIterator operator+(difference_type d, IndexedRowIterator it) { return it += d; }
    friend IndexedRowIterator operator-(IndexedRowIterator it, difference_type d) { return it -= d; }
    friend difference_type operator-(IndexedRowIterator a, IndexedRowIterator b) {
        return static_cast<difference_type>(a.at_) - static_cast<difference_type>(b.at_);
    }
    bool operator==(const IndexedRowIterator& o) const { return at_ == o.at_; }
    auto operator<=>(const IndexedRowIterator& o) const { return at_ <=> o.at_; }

private:
    const List* rows_ = nullptr;
    size_t at_ = 0;
};

// The rows of a table: `size()` rows of `width()` values each, in one
// row-major array. Every row has the table's width; the first row put into
// an empty list sets it, and putting a row of another width into a non-empty
// list is a broken invariant that ends the process. Row positions are
// stable except where a member says it moves rows (remove, insert_at).
class FlatRows {
public:
    using iterator = IndexedRowIterator<FlatRows>;

    FlatRows() = default;
    // The rows given (all of one width).
    FlatRows(std::vector<Row> rows) { assign(std::move(rows)); }  // NOLINT: rows read as a table's
    FlatRows(std::initializer_list<Row> rows) : FlatRows(std::vector<Row>(rows)) {}

    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    size_t width() const { return width_; }
    RowView operator[](size_t i) const { return RowView(cells_.data() + i * width_, width_); }
    RowView front() const { return (*this)[0]; }
    RowView back() const { return (*this)[count_ - 1]; }
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, count_); }
    // The values of row i, to change in place (same width).
    std::span<Value> cells(size_t i) { return {cells_.data() + i * width_, width_}; }
    // Every value, row after row.
    std::span<const Value> all_cells() const { return cells_; }

    // Room for `rows` rows of `width` values without reallocation; the width
    // is taken only while the list is empty.
    void reserve(size_t rows, size_t width);
    void push_back(RowView row);
    void push_back(Row&& row);
    // `n` new last rows of `width` cells, to be filled in place: their
    // cells, not yet constructed. The caller constructs every one of them
    // (std::uninitialized_default_construct, say) before anything else
    // reads, changes or destroys the list; threads may do so, each in cells
    // of its own.
    std::span<Value> append_rows_to_construct(size_t n, size_t width);
    // A new last row of `width` Null values, to be filled in place.
    std::span<Value> append_blank(size_t width);
    void pop_back();
    // Row i becomes a copy of (or takes the values of) `row`, same width.
    void replace(size_t i, RowView row);
    void replace(size_t i, Row&& row);
    // Keeps the first `n` rows (n <= size()); the cut rows, in order, are
    // moved into *cut when it is given.
    void truncate(size_t n, std::vector<Row>* cut = nullptr);
    void clear();
    // Removes the rows at `positions` (ascending, distinct, inside) in one
    // pass, moving them in order into *removed when it is given; the others
    // keep their order.
    void remove(std::span<const size_t> positions, std::vector<Row>* removed = nullptr);
    // The same, the removed rows appended to `removed` (empty or of this
    // width) by relocation: texts borrowed from the owner's arena stay
    // borrowed, so `removed` must not outlive the owner.
    void remove(std::span<const size_t> positions, FlatRows& removed);
    // Puts rows[k] at final position positions[k] (ascending; every
    // position at most the final size - 1), the present rows filling the
    // other places in order.
    void insert_at(std::span<const size_t> positions, std::vector<Row> rows);
    // Every row gets `fill` appended as a new last value.
    void add_column(const Value& fill);
    // Every row loses its value at `column` (< width() when there are rows).
    void erase_column(size_t column);
    // Replaces the whole list (all rows of one width).
    void assign(std::vector<Row> rows);
    // An owned copy of every row.
    std::vector<Row> to_rows() const;

    // The same rows (the width of no rows does not count).
    bool operator==(const FlatRows& o) const {
        return count_ == o.count_ && (count_ == 0 || width_ == o.width_) && cells_ == o.cells_;
    }
    friend bool operator==(const FlatRows& a, const std::vector<Row>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](RowView x, const Row& y) { return x == y; });
    }

private:
    using Cells = CellArray;

    void adopt_width(size_t width);
    void remove_taking(std::span<const size_t> positions, std::vector<Row>* rows, FlatRows* flat);

    Cells cells_;
    size_t width_ = 0;
    size_t count_ = 0;
};

// The rows of a flat table (from a first row on) or of a list of owned rows,
// by position. A view of a flat table reads through the table, so it sees
// the table's present size; a view of a list sees the rows it was given.
// Valid while what it names lives.
class RowsView {
public:
    RowsView() = default;
    RowsView(const FlatRows& rows, size_t first = 0) : flat_(&rows), first_(first) {}  // NOLINT
    RowsView(std::span<const Row> rows) : list_(rows.data()), count_(rows.size()) {}   // NOLINT
    RowsView(const std::vector<Row>& rows) : RowsView(std::span<const Row>(rows)) {}   // NOLINT

    size_t size() const { return flat_ ? flat_->size() - first_ : count_; }
    bool empty() const { return size() == 0; }
    RowView operator[](size_t i) const { return flat_ ? (*flat_)[first_ + i] : RowView(list_[i]); }
    RowView front() const { return (*this)[0]; }
    RowView back() const { return (*this)[size() - 1]; }
    IndexedRowIterator<RowsView> begin() const { return {this, 0}; }
    IndexedRowIterator<RowsView> end() const { return {this, size()}; }
    // The rows from position `n` on (n <= size()).
    RowsView from(size_t n) const {
        RowsView out = *this;
        if (flat_) out.first_ += n;
        else out.list_ += n, out.count_ -= n;
        return out;
    }

private:
    const FlatRows* flat_ = nullptr;
    size_t first_ = 0;
    const Row* list_ = nullptr;
    size_t count_ = 0;
};

struct Table {
    std::string name;
    std::vector<Column> columns;
    FlatRows rows;
    std::vector<uint64_t> rowids;  // parallel to rows
    uint64_t next_rowid = 1;
    // Texts the rows borrow (decoded at load); moved with the table, freed
    // with it. A copy of the table owns its texts and starts an empty arena.
    TextArena text_arena{};

    // Position of the named column, if any.
    std::optional<size_t> column_index(std::string_view column) const;
    // rowids become 1..n and next_rowid n + 1, unconditionally.
    void renumber_rowids();
    // Position of the row with this row id. Ids ascend along the rows (one
    // probe when they run 1..n, else a binary search); ids that do not
    // ascend (never made by this engine) are still found by a walk.
    std::optional<size_t> position_of_rowid(uint64_t rowid) const;

    // Removes the rows at `positions` (ascending, distinct) and their ids
    // (rowids must pair with rows), in one pass; returns the removed rows.
    std::vector<Row> remove_rows(std::span<const size_t> positions);
    // The same, the rows relocated into `removed` (FlatRows::remove): they
    // must not outlive the table.
    void remove_rows(std::span<const size_t> positions, FlatRows& removed);
    // Undoes remove_rows: rows[k] with id ids[k] back at positions[k].
    void restore_rows(std::span<const size_t> positions, std::span<const uint64_t> ids, std::vector<Row> rows);
    // Appends a row with the given id.
    void append_row(uint64_t rowid, Row&& row) {
        rows.push_back(std::move(row));
        rowids.push_back(rowid);
    }
};

// The renumbering rule: when the table's rowids and rows differ in length,
// rowids become 1..n and next_rowid is raised to n + 1 unless it is already
// above n. Returns whether the row ids changed.
bool renumber_if_mismatched(Table& table);

struct Database {
    std::map<std::string, Table> tables;  // ordered by the names' bytes
};

}  // namespace zembrel
