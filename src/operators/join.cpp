#include "operators/join.h"

#include <bit>
#include <functional>
#include <string_view>

#include "types/stable_sort.h"

namespace zembrel::operators {

namespace {

Row combined(RowView left, RowView right) {
    Row out;
    out.reserve(left.size() + right.size());
    out.insert(out.end(), left.begin(), left.end());
    out.insert(out.end(), right.begin(), right.end());
    return out;
}

Row left_null_filled(RowView left, size_t right_width) {
    Row out;
    out.reserve(left.size() + right_width);
    out.insert(out.end(), left.begin(), left.end());
    out.resize(left.size() + right_width);
    return out;
}

Row right_null_filled(size_t left_width, RowView right) {
    Row out(left_width);
    out.insert(out.end(), right.begin(), right.end());
    return out;
}

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

NestedLoopJoin::NestedLoopJoin(OperatorPtr left, SharedRows right_rows, RowPredicate on, size_t left_width,
                               size_t right_width, JoinType type)
    : left_(std::move(left)),
      right_rows_(std::move(right_rows)),
      on_(std::move(on)),
      left_width_(left_width),
      right_width_(right_width),
      type_(type) {}

Result<bool> NestedLoopJoin::fill_pending() {
    const RowsView& right = *right_rows_;
    if (type_ == JoinType::Right) {
        if (!left_drained_) {
            auto rows = drain(*left_);
            if (!rows) return fail(rows.error());
            left_rows_ = std::move(*rows);
            left_drained_ = true;
        }
        while (pending_.empty()) {
            if (right_position_ >= right.size()) return false;
            RowView r = right[right_position_++];
            for (RowView l : left_rows_) {
                Row row = combined(l, r);
                if (on_(row)) pending_.push_back(std::move(row));
            }
            if (pending_.empty()) pending_.push_back(right_null_filled(left_width_, r));
        }
        return true;
    }
    while (pending_.empty()) {
        auto got = left_->next();
        if (!got) return fail(got.error());
        if (!*got) return false;
        RowView l = *got;
        for (RowView r : right) {
            scratch_.assign(l.begin(), l.end());
            scratch_.insert(scratch_.end(), r.begin(), r.end());
            if (on_(scratch_)) pending_.push_back(std::move(scratch_));
        }
        if (pending_.empty() && type_ == JoinType::Left) pending_.push_back(left_null_filled(l, right_width_));
    }
    return true;
}

Result<RowView> BufferedJoin::next() {
    if (pending_.empty()) {
        auto more = fill_pending();
        if (!more) return fail(more.error());
        if (!*more) return RowView();
    }
    current_ = std::move(pending_.front());
    pending_.pop_front();
    return RowView(current_);
}

HashJoin::HashJoin(OperatorPtr left, SharedRows right_rows, std::vector<size_t> left_keys,
                   std::vector<size_t> right_keys, size_t left_width, size_t right_width, JoinType type)
    : left_(std::move(left)),
      right_rows_(std::move(right_rows)),
      left_keys_(std::move(left_keys)),
      right_keys_(std::move(right_keys)),
      left_width_(left_width),
      right_width_(right_width),
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
                if (keys_equal(left[i], r)) pending_.push_back(combined(left[i], r));
            }
        }
        return true;
    }
    if (type_ == JoinType::Right) {
        if (!built_) {
            auto rows = drain(*left_);
            if (!rows) return fail(rows.error());
            left_rows_ = std::move(*rows);
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
                        if (keys_equal(left_rows_[i], r)) pending_.push_back(combined(left_rows_[i], r));
                    }
                }
            }
            if (pending_.empty()) pending_.push_back(right_null_filled(left_width_, r));
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
                    if (keys_equal(l, right[i])) pending_.push_back(combined(l, right[i]));
                }
            }
        }
        if (pending_.empty() && type_ == JoinType::Left) pending_.push_back(left_null_filled(l, right_width_));
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

MergeJoin::MergeJoin(std::vector<Row> left_rows, SharedRows right_rows, size_t left_key, size_t right_key)
    : left_rows_(std::move(left_rows)), right_rows_(std::move(right_rows)), left_key_(left_key), right_key_(right_key) {
    if (!left_rows_.empty()) {
        left_order_ = key_order(left_rows_, left_key_);
        if (!left_order_.empty()) right_order_ = key_order(*right_rows_, right_key_);
    }
}

Result<bool> MergeJoin::fill_pending() {
    const RowsView& right = *right_rows_;
    while (pending_.empty()) {
        if (left_pos_ >= left_order_.size() || right_pos_ >= right_order_.size()) return false;
        const Value& l = left_rows_[left_order_[left_pos_]][left_key_];
        const Value& r = right[right_order_[right_pos_]][right_key_];
        const auto c = Value::sql_cmp(l, r);
        if (c < 0) { ++left_pos_; continue; }
        if (c > 0) { ++right_pos_; continue; }
        size_t left_end = left_pos_ + 1;
        while (left_end < left_order_.size() && Value::sql_cmp(left_rows_[left_order_[left_end]][left_key_], l) == 0)
            ++left_end;
        size_t right_end = right_pos_ + 1;
        while (right_end < right_order_.size() && Value::sql_cmp(right[right_order_[right_end]][right_key_], r) == 0)
            ++right_end;
        for (size_t i = left_pos_; i < left_end; ++i) {
            for (size_t j = right_pos_; j < right_end; ++j)
                pending_.push_back(combined(left_rows_[left_order_[i]], right[right_order_[j]]));
        }
        left_pos_ = left_end;
        right_pos_ = right_end;
    }
    return true;
}

}  // namespace zembrel::operators
