#include "operators/basic.h"

namespace zembrel::operators {

SharedRows borrow_rows(RowsView rows) { return SharedRows(nullptr, rows); }

SharedRows own_rows(std::vector<Row> rows) {
    auto owned = std::make_shared<const std::vector<Row>>(std::move(rows));
    return SharedRows(owned, RowsView(*owned));
}

Result<RowView> TableScan::next() {
    if (position_ >= rows_->size()) return RowView();
    return (*rows_)[position_++];
}

Result<RowView> RowIterSource::next() {
    auto got = source_();
    if (!got) return fail(got.error());
    if (!*got) return RowView();
    current_ = std::move(**got);
    return RowView(current_);
}

Result<RowView> Filter::next() {
    for (;;) {
        auto got = child_->next();
        if (!got || !*got) return got;
        if (predicate_(*got)) return got;
    }
}

Project::Project(OperatorPtr child, std::vector<size_t> positions)
    : child_(std::move(child)), positions_(std::move(positions)) {
    for (size_t i = 0; i < positions_.size(); ++i) identity_ = identity_ && positions_[i] == i;
}

Result<RowView> Project::next() {
    auto got = child_->next();
    if (!got || !*got) return got;
    const RowView in = *got;
    passed_on_ = identity_ && in.size() == positions_.size();
    if (passed_on_) return got;
    current_.clear();
    current_.reserve(positions_.size());
    for (size_t p : positions_) {
        if (p >= in.size()) invariant_failed("projection position outside the row");
        current_.push_back(in[p]);
    }
    return RowView(current_);
}

Result<RowView> Limit::next() {
    if (remaining_ == 0) return RowView();
    auto got = child_->next();
    if (got && *got) --remaining_;
    return got;
}

std::strong_ordering RowComparator::operator()(RowView a, RowView b) const {
    for (const SortKey& k : keys_) {
        if (k.position >= a.size() || k.position >= b.size()) invariant_failed("sort key position outside the row");
        std::strong_ordering c = Value::sql_cmp(a[k.position], b[k.position]);
        if (c != 0) return k.ascending ? c : 0 <=> c;
    }
    return std::strong_ordering::equal;
}

Result<std::vector<Row>> drain(Operator& op) {
    std::vector<Row> rows;
    for (;;) {
        auto got = op.next();
        if (!got) return fail(got.error());
        if (!*got) return rows;
        rows.push_back(op.take(*got));
    }
}

Row images_of(RowView row) {
    Row out(row.size());
    for (size_t i = 0; i < row.size(); ++i) out[i].lend_from(row[i]);
    return out;
}

Row keep_row(Operator& op, RowView lent) { return op.values_stay_valid() ? images_of(lent) : op.take(lent); }

Status keep_all(Operator& op, std::vector<Row>& out) {
    for (;;) {
        auto got = op.next();
        if (!got) return fail(got.error());
        if (!*got) return {};
        out.push_back(keep_row(op, *got));
    }
}

Result<SharedRows> drain_kept(OperatorPtr source) {
    std::vector<Row> rows;
    if (auto st = keep_all(*source, rows); !st) return fail(st.error());
    return kept_rows(std::move(source), std::move(rows));
}

SharedRows kept_rows(OperatorPtr source, std::vector<Row> rows) {
    // The rows last: dropped before the source whose values they may read.
    struct Kept {
        OperatorPtr source;
        std::vector<Row> rows;
    };
    auto kept = std::make_shared<const Kept>(Kept{std::move(source), std::move(rows)});
    return SharedRows(kept, RowsView(kept->rows));
}

}  // namespace zembrel::operators
