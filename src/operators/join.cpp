#include "operators/join.h"

#include <bit>
#include <functional>
#include <string_view>

#include "types/stable_sort.h"

namespace zembrel::operators {

namespace {

const Value& key_at(RowView row, size_t position) {
    if (position >= row.size()) invariant_failed("join key position outside the row");
    return row[position];
}

}  // namespace

std::optional<size_t> join_key_hash(RowView row, const std::vector<size_t>& positions) {
    size_t h = positions.size();
    for (size_t p : positions) {
        const Value& v = key_at(row, p);
        size_t part = 0;
        switch (v.kind()) {
            case ValueKind::Null: return std::nullopt;
            case ValueKind::Bool: part = v.as_bool() ? 0x2545F491 : 0x9E3779B9; break;
            case ValueKind::Int:
                part = std::hash<uint64_t>{}(std::bit_cast<uint64_t>(static_cast<double>(v.as_int())));
                break;
            case ValueKind::Float: part = std::hash<uint64_t>{}(std::bit_cast<uint64_t>(v.as_float())); break;
            default: part = std::hash<std::string_view>{}(v.as_text()); break;
        }
        h = (h ^ part) * 0x100000001B3ull;
    }
    return h;
}

void JoinedRow::show(size_t from, size_t width, RowView row) {
    if (row.size() != width) invariant_failed("join input row of another width");
    Value* cells = cells_.data() + from;
    for (size_t i = 0; i < width; ++i) cells[i].lend_from(row[i]);
}

void JoinedRow::null(size_t from, size_t width) {
    Value* cells = cells_.data() + from;
    for (size_t i = 0; i < width; ++i) cells[i] = Value();
}

Result<RowView> BufferedJoin::next() {
    if (next_ >= pending_.size()) {
        pending_.clear();
        next_ = 0;
        auto more = fill_pending();
        if (!more) return fail(more.error());
        if (!*more) return RowView();
        shown_ = false;
    }
    const Match& m = pending_[next_++];
    auto same = [](RowView a, RowView b) { return a.data() == b.data() && a.size() == b.size(); };
    if (!shown_ || !same(m.left, shown_left_)) {
        if (m.left) row_.show_left(m.left);
        else row_.null_left();
        shown_left_ = m.left;
    }
    if (!shown_ || !same(m.right, shown_right_)) {
        if (m.right) row_.show_right(m.right);
        else row_.null_right();
        shown_right_ = m.right;
    }
    shown_ = true;
    return row_.view();
}

NestedLoopJoin::NestedLoopJoin(OperatorPtr left, SharedRows right_rows, RowPredicate on, size_t left_width,
                               size_t right_width, JoinType type)
    : left_(std::move(left)),
      right_rows_(std::move(right_rows)),
      on_(std::move(on)),
      type_(type),
      row_(left_width, right_width) {}

Result<RowView> NestedLoopJoin::next() {
    if (type_ == JoinType::Right) return next_right_major();
    const RowsView& right = *right_rows_;
    for (;;) {
        if (!has_left_) {
            auto got = left_->next();
            if (!got) return fail(got.error());
            if (!*got) return RowView();
            // Shown once: the right rows only change the right part.
            row_.show_left(*got);
            has_left_ = true;
            matched_ = false;
            right_position_ = 0;
        }
        while (right_position_ < right.size()) {
            row_.show_right(right[right_position_++]);
            if (on_(row_.view())) {
                matched_ = true;
                return row_.view();
            }
        }
        has_left_ = false;
        if (!matched_ && type_ == JoinType::Left) {
            row_.null_right();
            return row_.view();
        }
    }
}

Result<RowView> NestedLoopJoin::next_right_major() {
    const RowsView& right = *right_rows_;
    if (!left_drained_) {
        if (auto st = keep_all(*left_, left_rows_); !st) return fail(st.error());
        left_drained_ = true;
        left_position_ = left_rows_.size();  // no right row is being joined yet
    }
    for (;;) {
        if (left_position_ >= left_rows_.size()) {
            // The previous right row is done; a new one starts, shown once.
            if (right_position_ >= right.size()) return RowView();
            row_.show_right(right[right_position_++]);
            left_position_ = 0;
            matched_ = false;
            if (left_rows_.empty()) {
                row_.null_left();
                return row_.view();
            }
        }
        while (left_position_ < left_rows_.size()) {
            row_.show_left(left_rows_[left_position_++]);
            if (on_(row_.view())) {
                matched_ = true;
                return row_.view();
            }
        }
        if (!matched_) {
            row_.null_left();
            return row_.view();
        }
    }
}

HashJoin::HashJoin(OperatorPtr left, SharedRows right_rows, std::vector<size_t> left_keys,
                   std::vector<size_t> right_keys, size_t left_width, size_t right_width, JoinType type)
    : BufferedJoin(left_width, right_width),
      left_(std::move(left)),
      right_rows_(std::move(right_rows)),
      left_keys_(std::move(left_keys)),
      right_keys_(std::move(right_keys)),
      type_(type) {}

bool HashJoin::keys_equal(RowView left, RowView right) const {
    for (size_t i = 0; i < left_keys_.size(); ++i) {
        if (compare_truth(CompareCode::Eq, key_at(left, left_keys_[i]), key_at(right, right_keys_[i])) != Truth::True)
            return false;
    }
    return true;
}

std::unique_ptr<HashJoin> HashJoin::build_left(SharedRows left_rows, SharedRows right_rows,
                                               std::vector<size_t> left_keys, std::vector<size_t> right_keys,
                                               size_t left_width, size_t right_width) {
    auto join = std::make_unique<HashJoin>(nullptr, std::move(right_rows), std::move(left_keys), std::move(right_keys),
                                           left_width, right_width, JoinType::Inner);
    join->left_list_ = std::move(left_rows);
    return join;
}

Result<bool> HashJoin::fill_pending() {
    const RowsView& right = *right_rows_;
    if (left_list_) {
        const RowsView& left = *left_list_;
        if (!built_) {
            built_ = true;
            if (left.empty() || right.empty()) return false;
            table_.reserve(left.size());
            for (size_t i = 0; i < left.size(); ++i) {
                if (auto h = join_key_hash(left[i], left_keys_)) table_[*h].push_back(i);
            }
        }
        while (pending_.empty()) {
            if (right_position_ >= right.size()) return false;
            RowView r = right[right_position_++];
            auto h = join_key_hash(r, right_keys_);
            if (!h) continue;
            auto it = table_.find(*h);
            if (it == table_.end()) continue;
            for (size_t i : it->second) {
                if (keys_equal(left[i], r)) pending_.push_back({left[i], r});
            }
        }
        return true;
    }
    if (type_ == JoinType::Right) {
        if (!built_) {
            if (auto st = keep_all(*left_, left_rows_); !st) return fail(st.error());
            for (size_t i = 0; i < left_rows_.size(); ++i) {
                if (auto h = join_key_hash(left_rows_[i], left_keys_)) table_[*h].push_back(i);
            }
            built_ = true;
        }
        while (pending_.empty()) {
            if (right_position_ >= right.size()) return false;
            RowView r = right[right_position_++];
            if (auto h = join_key_hash(r, right_keys_)) {
                if (auto it = table_.find(*h); it != table_.end()) {
                    for (size_t i : it->second) {
                        if (keys_equal(left_rows_[i], r)) pending_.push_back({left_rows_[i], r});
                    }
                }
            }
            if (pending_.empty()) pending_.push_back({RowView(), r});
        }
        return true;
    }
    while (pending_.empty()) {
        auto got = left_->next();
        if (!got) return fail(got.error());
        if (!*got) return false;
        if (!built_) {
            // Built only once a left row exists: an empty left input costs nothing.
            table_.reserve(right.size());
            for (size_t i = 0; i < right.size(); ++i) {
                if (auto h = join_key_hash(right[i], right_keys_)) table_[*h].push_back(i);
            }
            built_ = true;
        }
        RowView l = *got;
        if (auto h = join_key_hash(l, left_keys_)) {
            if (auto it = table_.find(*h); it != table_.end()) {
                for (size_t i : it->second) {
                    if (keys_equal(l, right[i])) pending_.push_back({l, right[i]});
                }
            }
        }
        if (pending_.empty() && type_ == JoinType::Left) pending_.push_back({l, RowView()});
    }
    return true;
}

bool merge_keys_compatible(RowsView left, size_t left_key, RowsView right,
                           size_t right_key) {
    bool ints = false, floats = false, uuids = false, dates = false;
    auto note = [&](RowsView rows, size_t key) {
        for (RowView row : rows) {
            switch (key_at(row, key).kind()) {
                case ValueKind::Int: ints = true; break;
                case ValueKind::Float: floats = true; break;
                case ValueKind::Uuid: uuids = true; break;
                case ValueKind::Date:
                case ValueKind::DateTime: dates = true; break;
                default: break;
            }
        }
    };
    note(left, left_key);
    note(right, right_key);
    return !(ints && floats) && !(uuids && dates);
}

namespace {

// Positions of the rows whose key is not NULL, sorted stably by key.
std::vector<size_t> key_order(RowsView rows, size_t key) {
    std::vector<size_t> order;
    order.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!key_at(rows[i], key).is_null()) order.push_back(i);
    }
    stable_merge_sort(order, [&rows, key](size_t a, size_t b) { return Value::sql_cmp(rows[a][key], rows[b][key]) < 0; });
    return order;
}

}  // namespace

MergeJoin::MergeJoin(SharedRows left_rows, SharedRows right_rows, size_t left_key, size_t right_key, size_t left_width,
                     size_t right_width)
    : BufferedJoin(left_width, right_width),
      left_rows_(std::move(left_rows)),
      right_rows_(std::move(right_rows)),
      left_key_(left_key),
      right_key_(right_key) {
    if (!left_rows_->empty()) {
        left_order_ = key_order(*left_rows_, left_key_);
        if (!left_order_.empty()) right_order_ = key_order(*right_rows_, right_key_);
    }
}

Result<bool> MergeJoin::fill_pending() {
    const RowsView& left = *left_rows_;
    const RowsView& right = *right_rows_;
    while (pending_.empty()) {
        if (left_pos_ >= left_order_.size() || right_pos_ >= right_order_.size()) return false;
        const Value& l = left[left_order_[left_pos_]][left_key_];
        const Value& r = right[right_order_[right_pos_]][right_key_];
        const auto c = Value::sql_cmp(l, r);
        if (c < 0) { ++left_pos_; continue; }
        if (c > 0) { ++right_pos_; continue; }
        size_t left_end = left_pos_ + 1;
        while (left_end < left_order_.size() && Value::sql_cmp(left[left_order_[left_end]][left_key_], l) == 0)
            ++left_end;
        size_t right_end = right_pos_ + 1;
        while (right_end < right_order_.size() && Value::sql_cmp(right[right_order_[right_end]][right_key_], r) == 0)
            ++right_end;
        for (size_t i = left_pos_; i < left_end; ++i) {
            for (size_t j = right_pos_; j < right_end; ++j)
                pending_.push_back({left[left_order_[i]], right[right_order_[j]]});
        }
        left_pos_ = left_end;
        right_pos_ = right_end;
    }
    return true;
}

}  // namespace zembrel::operators
