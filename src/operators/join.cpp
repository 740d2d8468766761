#include "operators/join.h"

#include <bit>
#include <functional>
#include <string_view>

namespace zembrel::operators {

namespace {

Row combined(const Row& left, const Row& right) {
    Row out;
    out.reserve(left.size() + right.size());
    out.insert(out.end(), left.begin(), left.end());
    out.insert(out.end(), right.begin(), right.end());
    return out;
}

Row left_null_filled(const Row& left, size_t right_width) {
    Row out;
    out.reserve(left.size() + right_width);
    out.insert(out.end(), left.begin(), left.end());
    out.resize(left.size() + right_width);
    return out;
}

Row right_null_filled(size_t left_width, const Row& right) {
    Row out(left_width);
    out.insert(out.end(), right.begin(), right.end());
    return out;
}

const Value& at(const Row& row, size_t position) {
    if (position >= row.size()) invariant_failed("join key position outside the row");
    return row[position];
}

}  // namespace

std::optional<size_t> join_key_hash(const Row& row, const std::vector<size_t>& positions) {
    size_t h = positions.size();
    for (size_t p : positions) {
        const Value& v = at(row, p);
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
    const std::vector<Row>& right = *right_rows_;
    if (type_ == JoinType::Right) {
        if (!left_drained_) {
            auto rows = drain(*left_);
            if (!rows) return fail(rows.error());
            left_rows_ = std::move(*rows);
            left_drained_ = true;
        }
        while (pending_.empty()) {
            if (right_position_ >= right.size()) return false;
            const Row& r = right[right_position_++];
            for (const Row& l : left_rows_) {
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
        if (*got == nullptr) return false;
        const Row& l = **got;
        for (const Row& r : right) {
            scratch_.assign(l.begin(), l.end());
            scratch_.insert(scratch_.end(), r.begin(), r.end());
            if (on_(scratch_)) pending_.push_back(std::move(scratch_));
        }
        if (pending_.empty() && type_ == JoinType::Left) pending_.push_back(left_null_filled(l, right_width_));
    }
    return true;
}

Result<const Row*> BufferedJoin::next() {
    if (pending_.empty()) {
        auto more = fill_pending();
        if (!more) return fail(more.error());
        if (!*more) return static_cast<const Row*>(nullptr);
    }
    current_ = std::move(pending_.front());
    pending_.pop_front();
    return &current_;
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

bool HashJoin::keys_equal(const Row& left, const Row& right) const {
    for (size_t i = 0; i < left_keys_.size(); ++i) {
        if (compare_truth(CompareCode::Eq, at(left, left_keys_[i]), at(right, right_keys_[i])) != Truth::True)
            return false;
    }
    return true;
}

Result<bool> HashJoin::fill_pending() {
    const std::vector<Row>& right = *right_rows_;
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
            const Row& r = right[right_position_++];
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
        if (*got == nullptr) return false;
        if (!built_) {
            // Built only once a left row exists: an empty left input costs nothing.
            table_.reserve(right.size());
            for (size_t i = 0; i < right.size(); ++i) {
                if (auto h = join_key_hash(right[i], right_keys_)) table_[*h].push_back(i);
            }
            built_ = true;
        }
        const Row& l = **got;
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

}  // namespace zembrel::operators
