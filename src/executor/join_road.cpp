#include "executor/join_road.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <optional>

#include "operators/basic.h"
#include "operators/join.h"

namespace zembrel::executor {

namespace {

operators::JoinType join_type(parser::JoinKind kind) {
    switch (kind) {
        case parser::JoinKind::Inner: return operators::JoinType::Inner;
        case parser::JoinKind::Left: return operators::JoinType::Left;
        case parser::JoinKind::Right: return operators::JoinType::Right;
    }
    return operators::JoinType::Inner;
}

// Inner or left join on one key pair through the JOIN table's index: each
// left row's key value is looked up, the candidates are tested with `=`
// itself and come out in table order, exactly as under a nested loop.
// Left rows are read in batches whose keys are looked up in key order
// (neighbouring lookups then share most of their path through the index);
// the output still follows the left rows' order.
class IndexNestedLoopJoin final : public operators::BufferedJoin {
public:
    IndexNestedLoopJoin(operators::OperatorPtr left, const Table& table, const MemIndex& index, size_t left_width,
                        size_t left_key, size_t right_key, operators::JoinType type)
        : BufferedJoin(left_width, table.columns.size()),
          left_(std::move(left)), table_(table), index_(index), left_key_(left_key), right_key_(right_key),
          type_(type), key_type_(right_key < table.columns.size() ? table.columns[right_key].data_type : DataType{}),
          // Row ids without gaps map to positions by subtraction.
          dense_ids_(!table.rowids.empty() && table.rowids.back() >= table.rowids.front() &&
                     table.rowids.back() - table.rowids.front() == table.rowids.size() - 1) {}

    // The batch's rows are the left input's own, or kept as keep_row keeps
    // them: copies only where the input's values do not stay valid, and
    // those last one batch.
    bool values_stay_valid() const override { return left_->values_stay_valid(); }

private:
    // What a left row's key finds: a row-id list, every row, or nothing.
    struct Found {
        KeyFit probe = KeyFit::NoMatch;
        const RowIdList* ids = nullptr;
    };

    Result<bool> fill_pending() override {
        while (pending_.empty()) {
            if (next_ >= batch_.size()) {
                auto more = read_batch();
                if (!more) return fail(more.error());
                if (!*more) return false;
            }
            emit(next_);
            ++next_;
        }
        return true;
    }

    Result<bool> read_batch() {
        batch_.clear();
        owned_.clear();
        next_ = 0;
        const bool lent_rows_stay = left_->rows_stay_valid();
        while (batch_.size() + owned_.size() < batch_limit_) {
            auto got = left_->next();
            if (!got) return fail(got.error());
            if (!*got) break;
            if (lent_rows_stay) batch_.push_back(*got);
            else owned_.push_back(operators::keep_row(*left_, *got));
        }
        for (const Row& row : owned_) batch_.push_back(row);
        // Small first batches keep a LIMIT from reading far ahead.
        batch_limit_ = std::min<size_t>(batch_limit_ * 4, 4096);
        if (batch_.empty()) return false;

        found_.assign(batch_.size(), Found{});
        keys_.clear();
        for (size_t i = 0; i < batch_.size(); ++i) {
            const RowView l = batch_[i];
            if (left_key_ >= l.size()) invariant_failed("join key position outside the row");
            if (l[left_key_].is_null()) continue;
            Value key;
            found_[i].probe = fit_equal_key(l[left_key_], key_type_, key);
            if (found_[i].probe == KeyFit::Key) keys_.emplace_back(std::move(key), i);
        }
        std::sort(keys_.begin(), keys_.end(), [](const auto& a, const auto& b) { return KeyLess{}(a.first, b.first); });
        for (size_t k = 0; k < keys_.size(); ++k) {
            const RowIdList* ids = nullptr;
            if (k > 0 && Value::key_cmp(keys_[k - 1].first, keys_[k].first) == 0) {
                ids = found_[keys_[k - 1].second].ids;
            } else {
                ids = index_.find(keys_[k].first);
            }
            found_[keys_[k].second].ids = ids;
        }
        gather_positions();
        return true;
    }

    // The candidate positions of every batch row found through the index,
    // in table order (a scanning row has none here: see emit). The rows
    // they name are mostly far apart in memory: each pass asks for the
    // memory the next one reads, so the misses overlap.
    void gather_positions() {
        for (const Found& f : found_) {
            if (f.ids != nullptr) __builtin_prefetch(f.ids->data());
        }
        positions_.clear();
        starts_.assign(1, 0);
        for (size_t i = 0; i < batch_.size(); ++i) {
            const size_t from = positions_.size();
            if (found_[i].probe == KeyFit::Key && found_[i].ids != nullptr) {
                for (uint64_t id : *found_[i].ids) {
                    if (auto at = position_of(id)) {
                        positions_.push_back(*at);
                        __builtin_prefetch(table_.rows[*at].data() + right_key_);
                    }
                }
                if (positions_.size() - from > 1) std::sort(positions_.begin() + from, positions_.end());
            }
            starts_.push_back(positions_.size());
        }
    }

    void emit(size_t i) {
        const RowView l = batch_[i];
        const Value& v = l[left_key_];
        // A key the index cannot pin down meets every row, one by one.
        const bool scan = found_[i].probe == KeyFit::Scan;
        const size_t end = scan ? table_.rows.size() : starts_[i + 1];
        for (size_t k = scan ? 0 : starts_[i]; k < end; ++k) {
            const RowView r = table_.rows[scan ? k : positions_[k]];
            if (operators::compare_truth(operators::CompareCode::Eq, v, r[right_key_]) != operators::Truth::True) continue;
            pending_.push_back({l, r});
        }
        if (pending_.empty() && type_ == operators::JoinType::Left) pending_.push_back({l, RowView()});
    }

    std::optional<size_t> position_of(uint64_t id) const {
        const std::vector<uint64_t>& ids = table_.rowids;
        if (dense_ids_ && id >= ids.front() && id <= ids.back() && ids[id - ids.front()] == id)
            return static_cast<size_t>(id - ids.front());
        return table_.position_of_rowid(id);
    }

    operators::OperatorPtr left_;
    const Table& table_;
    const MemIndex& index_;
    size_t left_key_;
    size_t right_key_;
    operators::JoinType type_;
    DataType key_type_;
    bool dense_ids_;
    size_t batch_limit_ = 16;
    std::vector<RowView> batch_;  // the batch's left rows, in input order
    std::vector<Row> owned_;         // kept rows when the input lends rows only briefly
    std::vector<Found> found_;       // per batch row
    std::vector<std::pair<Value, size_t>> keys_;  // (index key, batch row), sorted by key
    size_t next_ = 0;
    std::vector<size_t> positions_;  // candidates of batch row i: [starts_[i], starts_[i + 1])
    std::vector<size_t> starts_;
};

}  // namespace

Result<JoinSource> build_join_source(Engine& engine, const parser::SelectStatement& s,
                                     std::span<const BoundTable> tables, const OutputPlan& plan,
                                     const OuterContext* outer) {
    if (tables.size() != s.joins.size() + 1) invariant_failed("one bound table per FROM and JOIN table");
    auto from_rows = table_rows_snapshot(engine, s.from.name);
    if (!from_rows) return fail(from_rows.error());
    operators::OperatorPtr source = std::make_unique<operators::TableScan>(*from_rows);

    JoinSource out;
    out.residual_where = s.where_clause ? &*s.where_clause : nullptr;
    auto push = where_pushes_down(s, tables, outer);
    if (!push) return fail(push.error());
    if (*push) {
        auto predicate = bind_predicate(*s.where_clause, tables.first(1));
        if (!predicate) return fail(predicate.error());
        source = std::make_unique<operators::Filter>(std::move(source), operators::RowPredicate(std::move(*predicate)));
        out.residual_where = nullptr;
    }
    const bool order_free = order_free_joins(s, plan, tables);

    for (size_t i = 0; i < s.joins.size(); ++i) {
        const BoundTable& right = tables[i + 1];
        const size_t left_width = right.offset;
        const size_t right_width = right.columns.size();
        auto right_rows = table_rows_snapshot(engine, s.joins[i].table.name);
        if (!right_rows) return fail(right_rows.error());
        auto on = bind_predicate(s.joins[i].on, tables.first(i + 2));
        if (!on) return fail(on.error());
        const auto type = join_type(s.joins[i].kind);
        JoinSetting setting{i, order_free, *push, [&]() -> Result<std::pair<size_t, size_t>> {
                                return std::pair<size_t, size_t>((*from_rows)->size(), (*right_rows)->size());
                            }};
        auto chosen = choose_join(engine, *on, tables.first(i + 2), s.joins[i], setting);
        if (!chosen) return fail(chosen.error());
        JoinChoice& choice = *chosen;
        switch (choice.algorithm) {
            case JoinChoice::Algorithm::Merge: {
                // Kept as images of the values they read, with the input
                // that holds those values.
                auto left_rows = operators::drain_kept(std::move(source));
                if (!left_rows) return fail(left_rows.error());
                const size_t lp = choice.left_keys.front(), rp = choice.right_keys.front();
                if (operators::merge_keys_compatible(**left_rows, lp, **right_rows, rp)) {
                    source = std::make_unique<operators::MergeJoin>(std::move(*left_rows), std::move(*right_rows), lp, rp,
                                                                    left_width, right_width);
                } else {
                    // Values of kinds the column types do not hold: hashing
                    // matches them with `=` all the same.
                    source = std::make_unique<operators::HashJoin>(
                        std::make_unique<operators::TableScan>(std::move(*left_rows)),
                        std::move(*right_rows), std::move(choice.left_keys), std::move(choice.right_keys), left_width,
                        right_width, type);
                }
                break;
            }
            case JoinChoice::Algorithm::IndexNestedLoop: {
                const Table* table = engine.tables.find(s.joins[i].table.name);
                const MemIndex* index = join_index(engine, s.joins[i].table.name, choice.right_keys.front());
                if (table == nullptr || index == nullptr) invariant_failed("the join's index went away while planning");
                source = std::make_unique<IndexNestedLoopJoin>(std::move(source), *table, *index, left_width,
                                                               choice.left_keys.front(), choice.right_keys.front(), type);
                break;
            }
            case JoinChoice::Algorithm::Hash:
                if (choice.build_left) {
                    // The left input is the bare FROM scan here (nothing was
                    // pushed down): its rows are the snapshot itself.
                    source = operators::HashJoin::build_left(*from_rows, std::move(*right_rows),
                                                             std::move(choice.left_keys), std::move(choice.right_keys),
                                                             left_width, right_width);
                } else {
                    source = std::make_unique<operators::HashJoin>(std::move(source), std::move(*right_rows),
                                                                   std::move(choice.left_keys),
                                                                   std::move(choice.right_keys), left_width,
                                                                   right_width, type);
                }
                break;
            case JoinChoice::Algorithm::NestedLoop:
                source = std::make_unique<operators::NestedLoopJoin>(std::move(source), std::move(*right_rows),
                                                                     operators::RowPredicate(std::move(*on)),
                                                                     left_width, right_width, type);
                break;
        }
    }
    out.source = std::move(source);
    return out;
}

}  // namespace zembrel::executor
