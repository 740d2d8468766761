#include "types/table.h"

#include <cstring>
#include <memory>
#include <utility>

namespace zembrel {

void FlatRows::adopt_width(size_t width) {
    if (count_ == 0) {
        width_ = width;
        cells_.clear();
    } else if (width != width_) {
        invariant_failed("a row of another width than its table's");
    }
}

void FlatRows::reserve(size_t rows, size_t width) {
    if (count_ == 0) width_ = width;
    const size_t needed = cells_.size() + rows * width_;
    cells_.reserve(needed);
}

void FlatRows::push_back(RowView row) {
    adopt_width(row.size());
    for (const Value& v : row) cells_.push_back(v);
    ++count_;
}

void FlatRows::push_back(Row&& row) {
    adopt_width(row.size());
    for (Value& v : row) cells_.push_back(std::move(v));
    ++count_;
}

std::span<Value> FlatRows::append_rows_to_construct(size_t n, size_t width) {
    adopt_width(width);
    count_ += n;
    return cells_.append_to_construct(n * width);
}

std::span<Value> FlatRows::append_blank(size_t width) {
    adopt_width(width);
    cells_.append_nulls(width);
    ++count_;
    return cells(count_ - 1);
}

void FlatRows::pop_back() {
    cells_.truncate(cells_.size() - width_);
    --count_;
}

void FlatRows::replace(size_t i, RowView row) {
    if (row.size() != width_) invariant_failed("a row of another width than its table's");
    std::copy(row.begin(), row.end(), cells(i).begin());
}

void FlatRows::replace(size_t i, Row&& row) {
    if (row.size() != width_) invariant_failed("a row of another width than its table's");
    std::move(row.begin(), row.end(), cells(i).begin());
}

void FlatRows::truncate(size_t n, std::vector<Row>* cut) {
    if (n >= count_) return;
    if (cut != nullptr) {
        cut->reserve(cut->size() + (count_ - n));
        for (size_t i = n; i < count_; ++i) {
            std::span<Value> c = cells(i);
            cut->emplace_back(std::make_move_iterator(c.begin()), std::make_move_iterator(c.end()));
        }
    }
    cells_.truncate(n * width_);
    count_ = n;
}

void FlatRows::clear() {
    cells_.clear();
    count_ = 0;
}

void FlatRows::remove(std::span<const size_t> positions, std::vector<Row>* removed) {
    if (removed != nullptr) removed->reserve(removed->size() + positions.size());
    remove_taking(positions, removed, nullptr);
}

void FlatRows::remove(std::span<const size_t> positions, FlatRows& removed) {
    if (!positions.empty()) removed.reserve(positions.size(), width_);
    remove_taking(positions, nullptr, &removed);
}

void FlatRows::remove_taking(std::span<const size_t> positions, std::vector<Row>* rows, FlatRows* flat) {
    if (positions.empty()) return;
    // The removed rows leave first, so that every place a kept row moves to
    // holds a Null; the kept rows then move down run by run, as bytes.
    for (size_t p : positions) {
        std::span<Value> row = cells(p);
        if (rows != nullptr) rows->emplace_back(std::make_move_iterator(row.begin()), std::make_move_iterator(row.end()));
        if (flat != nullptr) {
            std::span<Value> to = flat->append_blank(width_);
            for (size_t k = 0; k < width_; ++k) Value::relocate(to[k], row[k]);
        }
        for (Value& cell : row) cell = Value();
    }
    size_t out = positions.front();
    for (size_t r = 0; r < positions.size(); ++r) {
        const size_t from = positions[r] + 1;
        const size_t to = r + 1 < positions.size() ? positions[r + 1] : count_;
        if (to <= from) continue;
        // A relocation of every cell of the run: the places left behind hold
        // copies of bits that now belong elsewhere.
        if (width_ != 0)
            std::memmove(static_cast<void*>(cells_.data() + out * width_),
                         static_cast<const void*>(cells_.data() + from * width_), (to - from) * width_ * sizeof(Value));
        out += to - from;
    }
    // Those copies become Nulls without being destroyed (they own nothing).
    for (size_t i = out * width_; i < count_ * width_; ++i) std::construct_at(&cells_[i]);
    cells_.truncate(out * width_);
    count_ = out;
}

void FlatRows::insert_at(std::span<const size_t> positions, std::vector<Row> rows) {
    if (rows.empty()) return;
    const size_t width = count_ == 0 ? rows.front().size() : width_;
    for (const Row& row : rows)
        if (row.size() != width) invariant_failed("a row of another width than its table's");
    const size_t total = count_ + rows.size();
    Cells merged;
    merged.reserve(total * width);
    size_t kept = 0, back = 0;
    for (size_t i = 0; i < total; ++i) {
        if (back < rows.size() && positions[back] == i) {
            for (Value& v : rows[back]) merged.push_back(std::move(v));
            ++back;
        } else if (kept < count_) {
            for (Value& cell : cells(kept++)) Value::relocate(merged.emplace_back(), cell);
        }
    }
    cells_ = std::move(merged);
    width_ = width;
    count_ = width == 0 ? kept + back : cells_.size() / width;
}

void FlatRows::add_column(const Value& fill) {
    Cells wider;
    wider.reserve(count_ * (width_ + 1));
    for (size_t i = 0; i < count_; ++i) {
        for (Value& cell : cells(i)) Value::relocate(wider.emplace_back(), cell);
        wider.push_back(fill);
    }
    cells_ = std::move(wider);
    ++width_;
}

void FlatRows::erase_column(size_t column) {
    if (count_ == 0) {
        // No rows to change; the next row sets the width anyway.
        if (width_ > 0) --width_;
        return;
    }
    if (column >= width_) invariant_failed("dropped column outside the rows");
    size_t out = 0;
    for (size_t i = 0; i < cells_.size(); ++i) {
        if (i % width_ == column) continue;
        if (out != i) Value::relocate(cells_[out], cells_[i]);
        ++out;
    }
    cells_.truncate(out);
    --width_;
}

void FlatRows::assign(std::vector<Row> rows) {
    clear();
    if (!rows.empty()) reserve(rows.size(), rows.front().size());
    for (Row& row : rows) push_back(std::move(row));
}

std::vector<Row> FlatRows::to_rows() const {
    std::vector<Row> out;
    out.reserve(count_);
    for (RowView row : *this) out.push_back(row.to_row());
    return out;
}

std::optional<size_t> Table::column_index(std::string_view column) const {
    for (size_t i = 0; i < columns.size(); ++i)
        if (columns[i].name == column) return i;
    return std::nullopt;
}

bool renumber_if_mismatched(Table& table) {
    const size_t n = table.rows.size();
    if (table.rowids.size() == n) return false;
    const uint64_t next = table.next_rowid;
    table.renumber_rowids();
    // Unlike renumber_rowids, a counter already past n is kept.
    table.next_rowid = std::max<uint64_t>(next, n + 1);
    return true;
}

std::optional<size_t> Table::position_of_rowid(uint64_t rowid) const {
    const size_t n = std::min(rowids.size(), rows.size());
    if (rowid >= 1 && rowid <= n && rowids[rowid - 1] == rowid) return static_cast<size_t>(rowid - 1);
    auto it = std::lower_bound(rowids.begin(), rowids.end(), rowid);
    if (it == rowids.end() || *it != rowid) it = std::find(rowids.begin(), rowids.end(), rowid);
    if (it == rowids.end()) return std::nullopt;
    const auto at = static_cast<size_t>(it - rowids.begin());
    if (at >= rows.size()) return std::nullopt;
    return at;
}

void Table::renumber_rowids() {
    const size_t n = rows.size();
    rowids.resize(n);
    for (size_t i = 0; i < n; ++i) rowids[i] = i + 1;
    next_rowid = n + 1;
}

namespace {

// Removes the ids at `positions` (ascending, distinct), the others keeping their order.
void remove_ids(std::vector<uint64_t>& rowids, std::span<const size_t> positions) {
    size_t out = 0, next = 0;
    for (size_t i = 0; i < rowids.size(); ++i) {
        if (next < positions.size() && positions[next] == i) {
            ++next;
            continue;
        }
        rowids[out++] = rowids[i];
    }
    rowids.resize(out);
}

}  // namespace

std::vector<Row> Table::remove_rows(std::span<const size_t> positions) {
    std::vector<Row> removed;
    rows.remove(positions, &removed);
    remove_ids(rowids, positions);
    return removed;
}

void Table::remove_rows(std::span<const size_t> positions, FlatRows& removed) {
    rows.remove(positions, removed);
    remove_ids(rowids, positions);
}

void Table::restore_rows(std::span<const size_t> positions, std::span<const uint64_t> ids, std::vector<Row> back) {
    const size_t total = rowids.size() + ids.size();
    std::vector<uint64_t> merged;
    merged.reserve(total);
    size_t kept = 0, put = 0;
    for (size_t i = 0; i < total; ++i) {
        if (put < ids.size() && positions[put] == i) {
            merged.push_back(ids[put++]);
        } else if (kept < rowids.size()) {
            merged.push_back(rowids[kept++]);
        }
    }
    rowids = std::move(merged);
    rows.insert_at(positions, std::move(back));
}

}  // namespace zembrel
