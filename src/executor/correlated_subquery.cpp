#include "executor/correlated_subquery.h"

#include <algorithm>
#include <cmath>

#include "executor/condition_eval.h"
#include "executor/index_seek.h"
#include "executor/join_road.h"
#include "executor/page_seek.h"
#include "executor/pipeline.h"
#include "executor/subquery.h"
#include "keycodec/keycodec.h"

namespace zembrel::executor {

namespace {

using operators::BoundPredicate;
using operators::Truth;

// A bound WHERE over the outer row followed by the own row, read from the
// two rows where they lie: no joined row is built per candidate.
Truth eval_across(const BoundPredicate& p, const ChainedRow& outer, RowView own, uint64_t outer_width) {
    auto at = [&](size_t position) -> const Value& {
        if (position < outer_width) {
            if (position >= outer.size()) invariant_failed("condition position outside the outer row");
            return outer[position];
        }
        const size_t own_position = position - outer_width;
        if (own_position >= own.size()) invariant_failed("condition position outside the row");
        return own[own_position];
    };
    switch (p.kind()) {
        case BoundPredicate::Kind::Compare:
            return operators::compare_truth(p.op(), at(p.left_position()),
                                            p.literal() ? *p.literal() : at(p.right_position()));
        case BoundPredicate::Kind::IsNull: return at(p.left_position()).is_null() ? Truth::True : Truth::False;
        case BoundPredicate::Kind::IsNotNull: return at(p.left_position()).is_null() ? Truth::False : Truth::True;
        case BoundPredicate::Kind::And: {
            const Truth l = eval_across(*p.first(), outer, own, outer_width);
            if (l == Truth::False) return Truth::False;
            return operators::truth_and(l, eval_across(*p.second(), outer, own, outer_width));
        }
        case BoundPredicate::Kind::Or: {
            const Truth l = eval_across(*p.first(), outer, own, outer_width);
            if (l == Truth::True) return Truth::True;
            return operators::truth_or(l, eval_across(*p.second(), outer, own, outer_width));
        }
        case BoundPredicate::Kind::Not:
            return operators::truth_not(eval_across(*p.first(), outer, own, outer_width));
    }
    return Truth::Indeterminate;
}

}  // namespace

CorrelatedSubquery::CorrelatedSubquery(const parser::SelectStatement& subquery, BoundSelect bound,
                                       std::vector<BoundTable> scope, uint64_t outer_width)
    : statement_(subquery), bound_(std::move(bound)), scope_(std::move(scope)), outer_width_(outer_width) {}

CorrelatedSubquery::~CorrelatedSubquery() = default;

Result<std::unique_ptr<CorrelatedSubquery>> CorrelatedSubquery::prepare(Engine& engine,
                                                                        const parser::SelectStatement& s,
                                                                        const OuterContext& outer) {
    auto bound = bind_select(engine, s, &outer);
    if (!bound) return fail(bound.error());
    std::vector<BoundTable> scope = combine_tables(outer.tables, bound->tables);
    std::unique_ptr<CorrelatedSubquery> prepared(
        new CorrelatedSubquery(s, std::move(*bound), std::move(scope), joined_width(outer.tables)));
    CorrelatedSubquery& p = *prepared;
    if (s.where_clause && !contains_subquery(*s.where_clause)) {
        // Every reference resolved while binding: this cannot fail.
        auto where = bind_predicate(*s.where_clause, p.scope_);
        if (!where) return fail(where.error());
        p.where_ = std::move(*where);
    }
    const OutputPlan& plan = p.bound_.plan;
    // An ORDER BY naming an outer column fails when the pipeline is built:
    // such a subquery keeps the whole road, error included.
    const bool order_ok = !s.order_by || build_sort_keys(*s.order_by, p.bound_.tables).has_value();
    p.plain_ = s.joins.empty() && p.where_ && plan.kind == OutputPlan::Kind::Plain && !s.group_by &&
               plan.subqueries.empty() && plan.windows.empty() && order_ok;
    if (s.joins.empty() && p.where_) {
        const TableSource source = table_source(engine, s.from.name);
        p.table_ = source.table;
        p.seek_ = plan_correlated_seek(source, *p.where_, p.outer_width_);
    }
    return prepared;
}

bool CorrelatedSubquery::fits(const OuterContext& outer) const {
    return outer.row != nullptr && joined_width(outer.tables) == outer_width_ && outer.row->size() >= outer_width_;
}

KeyFit CorrelatedSubquery::fit_seek_key(const ChainedRow& outer_row) {
    const CorrelatedSeek& seek = *seek_;
    auto value_of = [&](const KeySource& s) -> const Value& { return s.outer ? outer_row[s.position] : s.literal; };
    if (!seek.range) {
        key_.resize(seek.key.size());
        for (size_t i = 0; i < seek.key.size(); ++i) {
            const Value& v = value_of(seek.key[i]);
            // = with NULL is never true, and the WHERE's AND needs it true.
            if (v.is_null()) return KeyFit::NoMatch;
            if (const KeyFit fit = fit_equal_key(v, seek.types[i], key_[i]); fit != KeyFit::Key) return fit;
        }
        return KeyFit::Key;
    }
    auto fit_end = [&](const std::optional<KeySource>& source, bool is_lower, std::optional<Value>& out) {
        out.reset();
        if (!source) return KeyFit::Key;
        const Value& v = value_of(*source);
        if (v.is_null()) return KeyFit::NoMatch;
        auto fitted = fit_bound(v, Bound::Kind::Included, seek.types.front(), is_lower);
        if (!fitted) return KeyFit::Scan;
        out = std::move(fitted->value);
        return KeyFit::Key;
    };
    if (const KeyFit fit = fit_end(seek.lower, true, lower_); fit != KeyFit::Key) return fit;
    return fit_end(seek.upper, false, upper_);
}

bool CorrelatedSubquery::seek_positions(const ChainedRow& outer_row, std::vector<size_t>& positions) {
    const CorrelatedSeek& seek = *seek_;
    auto add_ids = [&](const RowIdList& ids) {
        for (uint64_t id : ids)
            if (auto at = table_->position_of_rowid(id)) positions.push_back(*at);
    };
    switch (fit_seek_key(outer_row)) {
        case KeyFit::Key: break;
        case KeyFit::NoMatch: return true;
        case KeyFit::Scan: return false;
    }
    if (!seek.range) {
        const RowIdList* ids = key_.size() == 1 ? seek.index->find_one(key_.front()) : seek.index->find(key_);
        if (ids != nullptr) add_ids(*ids);
    } else {
        const IndexKeyMap& map = seek.index->map();
        auto it = map.begin();
        if (lower_) {
            key_.assign(1, *lower_);
            it = map.lower_bound(key_);
        }
        for (; it != map.end(); ++it) {
            if (upper_ && Value::key_cmp(it->first.front(), *upper_) > 0) break;
            add_ids(it->second);
        }
    }
    // Table order, as a scan reads them.
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return true;
}

Result<bool> CorrelatedSubquery::seek_page_rows(Engine& engine, const ChainedRow& outer_row, bool rows_after) {
    const CorrelatedSeek& seek = *seek_;
    rowids_.clear();
    slots_ = nullptr;
    switch (fit_seek_key(outer_row)) {
        case KeyFit::Key: break;
        case KeyFit::NoMatch: return true;
        case KeyFit::Scan: return false;
    }
    PageStore* store = engine.page_store();
    if (store == nullptr) return false;
    // Past a few seeks of one key the index's keys are read into memory
    // once (kept for later statements) and looked up there instead.
    if (!seek.range && key_.size() == 1 && ++key_seeks_ == kSeeksBeforeKeyHash) {
        key_hash_ = page_key_hash(engine, statement_.from.name, seek.page_index, rows_after);
    }
    if (key_hash_ && !seek.range && key_.size() == 1) {
        // A key's slots rise with its rows' ids: table order, each row once.
        const RowIdList* slots = key_hash_->view->find(key_.front());
        if (slots == nullptr) return true;
        if (key_hash_->rows) {
            slots_ = slots;
            return true;
        }
        for (uint64_t slot : *slots) rowids_.push_back(key_hash_->rowids[slot]);
    } else if (auto st = seek_page_entries(engine, *store); !st) {
        return fail(st.error());
    } else if (!*st) {
        return false;
    }
    // Table order, as a scan reads them; each row once. A stale entry's row
    // is gone or fails the WHERE the caller applies.
    std::sort(rowids_.begin(), rowids_.end());
    rowids_.erase(std::unique(rowids_.begin(), rowids_.end()), rowids_.end());
    if (!fetcher_) {
        decoded_ = page_decoded_rows(engine, statement_.from.name);
        if (!interiors_) interiors_ = page_interiors(engine, statement_.from.name);
        fetcher_ = RowFetcher::open(*store, statement_.from.name, interiors_.get(), decoded_.get());
        if (!fetcher_) return false;
    }
    return true;
}

Result<bool> CorrelatedSubquery::seek_page_entries(Engine& engine, PageStore& store) {
    const CorrelatedSeek& seek = *seek_;
    // Where the walk starts: the key's values, or the lower bound's value.
    keycodec::Bytes& start = start_;
    start.clear();
    if (!seek.range) {
        for (const Value& v : key_) keycodec::encode_value(v, start);
    } else if (lower_) {
        keycodec::encode_value(*lower_, start);
    }
    if (!cursor_) {
        interiors_ = page_interiors(engine, statement_.from.name);
        auto opened = IndexCursor::open(store, statement_.from.name, seek.page_index, start, interiors_.get());
        if (!opened) return fail(opened.error());
        if (!*opened) return false;
        cursor_ = std::move(**opened);
    } else if (auto st = cursor_->seek(store, start); !st) {
        return fail(st.error());
    }
    for (;;) {
        auto next = cursor_->next_into(entry_);
        if (!next) return fail(next.error());
        if (!*next) break;
        const IndexEntry& entry = entry_;
        if (entry.values.empty()) break;
        if (!seek.range) {
            bool same = entry.values.size() >= key_.size();
            for (size_t i = 0; same && i < key_.size(); ++i) same = Value::key_cmp(entry.values[i], key_[i]) == 0;
            if (!same) break;
        } else {
            if (upper_ && Value::key_cmp(entry.values.front(), *upper_) > 0) break;
            if (lower_ && Value::key_cmp(entry.values.front(), *lower_) < 0) continue;
        }
        rowids_.push_back(entry.rowid);
    }
    return true;
}

Result<std::optional<RowView>> CorrelatedSubquery::fetch_page_row(uint64_t rowid) {
    auto found = fetcher_->fetch_view(rowid);
    if (!found) return fail(found.error());
    if (!*found) return found;
    const size_t width = bound_.tables.front().columns.size();
    if (auto st = check_stored_row(Value::integer(static_cast<int64_t>(rowid)), **found, width, statement_.from.name);
        !st)
        return fail(st.error());
    return found;
}

std::optional<bool> CorrelatedSubquery::exists_in_index(const ChainedRow& outer_row) {
    if (!seek_ || !seek_->whole_where || (seek_->index == nullptr && !key_hash_)) return std::nullopt;
    const KeySource& source = seek_->key.front();
    const Value& v = source.outer ? outer_row[source.position] : source.literal;
    if (v.is_null()) return false;
    // A fitted key is equal under the key order exactly to the values `=`
    // accepts; an index in step with its table holds only live row ids, and
    // so does a page-file index's key hash.
    Value key;
    switch (fit_equal_key(v, seek_->types.front(), key)) {
        case KeyFit::Key:
            if (seek_->index == nullptr) return key_hash_->view->find(key) != nullptr;
            return seek_->index->find_one(key) != nullptr;
        case KeyFit::NoMatch: return false;
        case KeyFit::Scan: return std::nullopt;
    }
    return std::nullopt;
}

template <class Keep>
Status CorrelatedSubquery::visit(Engine& engine, const ChainedRow& outer_row, Keep&& keep, bool rows_after) {
    if (seek_ && seek_->index == nullptr) {
        auto served = seek_page_rows(engine, outer_row, rows_after);
        if (!served) return fail(served.error());
        if (*served && slots_ != nullptr) {
            // Every row the hash holds was decoded whole when it was read.
            for (uint64_t slot : *slots_) {
                const RowView row = (*key_hash_->rows)[slot];
                if (eval_across(*where_, outer_row, row, outer_width_) == Truth::True && !keep(row)) break;
            }
            return {};
        }
        if (*served) {
            // Every candidate is fetched, even after `keep` has had enough:
            // a damaged row reports its error as a fresh run would.
            bool wanted = true;
            for (uint64_t id : rowids_) {
                auto found = fetch_page_row(id);
                if (!found) return fail(found.error());
                if (!*found || !wanted) continue;
                if (eval_across(*where_, outer_row, **found, outer_width_) == Truth::True) wanted = keep(**found);
            }
            return {};
        }
    } else if (seek_) {
        positions_.clear();
        if (seek_positions(outer_row, positions_)) {
            for (size_t at : positions_) {
                const RowView row = table_->rows[at];
                if (eval_across(*where_, outer_row, row, outer_width_) == Truth::True && !keep(row)) break;
            }
            return {};
        }
    }
    if (!rows_) {
        auto rows = table_rows_snapshot(engine, statement_.from.name);
        if (!rows) return fail(rows.error());
        rows_ = std::move(*rows);
    }
    for (const RowView row : **rows_) {
        if (eval_across(*where_, outer_row, row, outer_width_) == Truth::True && !keep(row)) break;
    }
    return {};
}

Result<Rows> CorrelatedSubquery::run(Engine& engine, const OuterContext& outer) {
    const parser::SelectStatement& s = statement_;
    const uint64_t sort_budget = engine.settings.sort_budget;
    const std::vector<parser::OrderByItem>* order_by = s.order_by ? &*s.order_by : nullptr;
    const std::vector<BoundTable>& tables = bound_.tables;
    std::vector<Row> kept;

    if (!s.joins.empty()) {
        // The joins do not depend on the outer row (the WHERE stays above them).
        auto joined = build_join_source(engine, s, tables, bound_.plan, &outer);
        if (!joined) return fail(joined.error());
        if (!where_)
            return run_select(engine, std::move(joined->source), tables, joined->residual_where, order_by, s.limit,
                              bound_.plan, &outer, sort_budget);
        operators::Operator& source = *joined->source;
        for (;;) {
            auto got = source.next();
            if (!got) return fail(got.error());
            if (!*got) break;
            if (eval_across(*where_, *outer.row, *got, outer_width_) == Truth::True) kept.push_back(source.take(*got));
        }
    } else if (!where_) {
        auto rows = table_rows_snapshot(engine, s.from.name);
        if (!rows) return fail(rows.error());
        return run_select(engine, std::make_unique<operators::TableScan>(std::move(*rows)), tables,
                          s.where_clause ? &*s.where_clause : nullptr, order_by, s.limit, bound_.plan, &outer,
                          sort_budget);
    } else {
        auto st = visit(engine, *outer.row, [&](RowView row) {
            kept.push_back(row.to_row());
            return true;
        });
        if (!st) return fail(st.error());
    }
    return run_select(engine, rows_source(std::move(kept)), tables, nullptr, order_by, s.limit, bound_.plan, &outer,
                      sort_budget);
}

Result<bool> CorrelatedSubquery::exists(Engine& engine, const OuterContext& outer) {
    if (!plain_) {
        auto rows = run(engine, outer);
        if (!rows) return fail(rows.error());
        return !rows->rows.empty();
    }
    if (statement_.limit && *statement_.limit == 0) return false;
    if (auto known = exists_in_index(*outer.row)) return *known;
    bool found = false;
    // Once the key hash is read, exists_in_index answers for a WHERE the
    // index alone decides: no row is fetched again.
    auto st = visit(
        engine, *outer.row,
        [&](RowView) {
            found = true;
            return false;
        },
        !seek_ || !seek_->whole_where);
    if (!st) return fail(st.error());
    return found;
}

Result<Truth> CorrelatedSubquery::in(Engine& engine, const Value& probe, const OuterContext& outer) {
    const std::vector<int64_t>& projection = bound_.plan.projection;
    if (!plain_ || statement_.limit || projection.size() != 1 || projection.front() < 0) {
        auto rows = run(engine, outer);
        if (!rows) return fail(rows.error());
        return in_subquery_truth(probe, *rows);
    }
    if (probe.is_null()) return Truth::Indeterminate;
    const auto column = static_cast<size_t>(projection.front());
    bool any = false, saw_null = false, found = false;
    auto st = visit(engine, *outer.row, [&](RowView row) {
        any = true;
        if (column >= row.size()) invariant_failed("projection position outside the row");
        const Value& v = row[column];
        if (v.is_null()) saw_null = true;
        else if (Value::key_cmp(v, probe) == 0) found = true;
        return !found;
    });
    if (!st) return fail(st.error());
    if (found) return Truth::True;
    if (!any) return Truth::False;
    return saw_null ? Truth::Indeterminate : Truth::False;
}

}  // namespace zembrel::executor
