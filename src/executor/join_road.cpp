#include "executor/join_road.h"

#include <algorithm>
#include <cmath>
#include <deque>

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

// The JOIN table's single-column index on `column` when it holds every keyed
// row of the table; the smallest name among several.
const MemIndex* join_index(const Engine& engine, const std::string& table_name, size_t column) {
    const Table* table = engine.tables.find(table_name);
    if (table == nullptr || table->rowids.size() != table->rows.size()) return nullptr;
    const MemIndex* best = nullptr;
    for (const std::string& name : engine.tables.mem_indexes.names_of_table(table_name)) {
        const MemIndex* index = engine.tables.mem_indexes.get(name);
        if (index == nullptr || index->positions.size() != 1 || index->positions.front() != column) continue;
        if (index->may_hold_stale_ids() || index->entered_rows() != table->rows.size()) continue;
        if (!table->rows.empty() && table->rowids.back() != index->last_entered_id()) continue;
        if (best == nullptr || index->name < best->name) best = index;
    }
    return best;
}

// The index key that every value `=` to `probe` carries in a column of
// `type`; none when no value there can equal it, or when several keys could
// (a Float beyond the doubles that hold every integer).
enum class Probe : uint8_t { Key, NoMatch, Scan };
Probe index_key(const Value& probe, DataType type, Value& key) {
    const bool text = probe.kind() == ValueKind::Text || probe.kind() == ValueKind::Uuid ||
                      probe.kind() == ValueKind::Date || probe.kind() == ValueKind::DateTime;
    switch (type.kind) {
        case DataTypeKind::Int:
            if (probe.is_int()) { key = probe; return Probe::Key; }
            if (probe.is_float()) {
                const double f = probe.as_float();
                if (std::isnan(f) || std::floor(f) != f) return Probe::NoMatch;
                if (!(std::fabs(f) < 9007199254740992.0)) return Probe::Scan;
                key = Value::integer(static_cast<int64_t>(f));
                return Probe::Key;
            }
            return Probe::NoMatch;
        case DataTypeKind::Float:
            if (probe.is_float()) { key = probe; return Probe::Key; }
            if (probe.is_int()) { key = Value::floating(static_cast<double>(probe.as_int())); return Probe::Key; }
            return Probe::NoMatch;
        case DataTypeKind::Text:
        case DataTypeKind::Str: if (text) { key = Value::text(probe.as_text()); return Probe::Key; } return Probe::NoMatch;
        case DataTypeKind::Pk: if (text) { key = Value::uuid(probe.as_text()); return Probe::Key; } return Probe::NoMatch;
        case DataTypeKind::Date: if (text) { key = Value::date(probe.as_text()); return Probe::Key; } return Probe::NoMatch;
        case DataTypeKind::DateTime:
            if (text) { key = Value::datetime(probe.as_text()); return Probe::Key; }
            return Probe::NoMatch;
        case DataTypeKind::Bool: if (probe.kind() == ValueKind::Bool) { key = probe; return Probe::Key; } return Probe::NoMatch;
    }
    return Probe::Scan;
}

// Inner or left join on one key pair through the JOIN table's index: each
// left row's key value is looked up, the candidates are tested with `=`
// itself and come out in table order, exactly as under a nested loop.
class IndexNestedLoopJoin final : public operators::BufferedJoin {
public:
    IndexNestedLoopJoin(operators::OperatorPtr left, const Table& table, const MemIndex& index, size_t left_key,
                        size_t right_key, operators::JoinType type)
        : left_(std::move(left)), table_(table), index_(index), left_key_(left_key), right_key_(right_key),
          type_(type), key_type_(right_key < table.columns.size() ? table.columns[right_key].data_type : DataType{}) {}

private:
    Result<bool> fill_pending() override {
        while (pending_.empty()) {
            auto got = left_->next();
            if (!got) return fail(got.error());
            if (*got == nullptr) return false;
            probe(**got);
        }
        return true;
    }

    void probe(const Row& l) {
        if (left_key_ >= l.size()) invariant_failed("join key position outside the row");
        const Value& v = l[left_key_];
        positions_.clear();
        if (!v.is_null()) {
            Value key;
            switch (index_key(v, key_type_, key)) {
                case Probe::Key:
                    if (const RowIdList* ids = index_.find(IndexKey{key})) {
                        for (uint64_t id : *ids) {
                            auto it = std::lower_bound(table_.rowids.begin(), table_.rowids.end(), id);
                            if (it != table_.rowids.end() && *it == id)
                                positions_.push_back(static_cast<size_t>(it - table_.rowids.begin()));
                        }
                        std::sort(positions_.begin(), positions_.end());
                    }
                    break;
                case Probe::Scan:
                    for (size_t i = 0; i < table_.rows.size(); ++i) positions_.push_back(i);
                    break;
                case Probe::NoMatch: break;
            }
        }
        for (size_t at : positions_) {
            const Row& r = table_.rows[at];
            if (operators::compare_truth(operators::CompareCode::Eq, v, r[right_key_]) != operators::Truth::True) continue;
            Row out;
            out.reserve(l.size() + r.size());
            out.insert(out.end(), l.begin(), l.end());
            out.insert(out.end(), r.begin(), r.end());
            pending_.push_back(std::move(out));
        }
        if (pending_.empty() && type_ == operators::JoinType::Left) {
            Row out(l);
            out.resize(l.size() + table_.columns.size());
            pending_.push_back(std::move(out));
        }
    }

    operators::OperatorPtr left_;
    const Table& table_;
    const MemIndex& index_;
    size_t left_key_;
    size_t right_key_;
    operators::JoinType type_;
    DataType key_type_;
    std::vector<size_t> positions_;
};

}  // namespace

JoinChoice choose_join(const Engine& engine, const operators::BoundPredicate& on, size_t left_width,
                       const parser::Join& join) {
    if (engine.settings.force_nested_join) return {};
    auto keys = equi_join_keys(on, left_width);
    if (!keys) return {};
    JoinChoice choice{JoinChoice::Algorithm::Hash, std::move(keys->first), std::move(keys->second), {}};
    if (choice.left_keys.size() == 1 && join.kind != parser::JoinKind::Right) {
        if (const MemIndex* index = join_index(engine, join.table.name, choice.right_keys.front())) {
            choice.algorithm = JoinChoice::Algorithm::IndexNestedLoop;
            choice.index_column = index->columns.front();
        }
    }
    return choice;
}

Result<bool> where_pushes_down(const parser::SelectStatement& s, std::span<const BoundTable> tables,
                               const OuterContext* outer) {
    if (outer != nullptr || !s.where_clause) return false;
    const bool inner_or_left = std::all_of(s.joins.begin(), s.joins.end(), [](const parser::Join& j) {
        return j.kind == parser::JoinKind::Inner || j.kind == parser::JoinKind::Left;
    });
    if (!inner_or_left) return false;
    return where_fits_left_table(*s.where_clause, tables, tables.front().columns.size());
}

Result<JoinSource> build_join_source(Engine& engine, const parser::SelectStatement& s,
                                     std::span<const BoundTable> tables, const OuterContext* outer) {
    if (tables.size() != s.joins.size() + 1) invariant_failed("one bound table per FROM and JOIN table");
    auto from_rows = table_rows_snapshot(engine, s.from.name);
    if (!from_rows) return fail(from_rows.error());
    operators::OperatorPtr source = std::make_unique<operators::TableScan>(std::move(*from_rows));

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

    for (size_t i = 0; i < s.joins.size(); ++i) {
        const BoundTable& right = tables[i + 1];
        const size_t left_width = right.offset;
        const size_t right_width = right.columns.size();
        auto right_rows = table_rows_snapshot(engine, s.joins[i].table.name);
        if (!right_rows) return fail(right_rows.error());
        auto on = bind_predicate(s.joins[i].on, tables.first(i + 2));
        if (!on) return fail(on.error());
        const auto type = join_type(s.joins[i].kind);
        JoinChoice choice = choose_join(engine, *on, left_width, s.joins[i]);
        if (choice.algorithm == JoinChoice::Algorithm::IndexNestedLoop) {
            const Table* table = engine.tables.find(s.joins[i].table.name);
            const MemIndex* index = join_index(engine, s.joins[i].table.name, choice.right_keys.front());
            if (table == nullptr || index == nullptr) invariant_failed("the join's index went away while planning");
            source = std::make_unique<IndexNestedLoopJoin>(std::move(source), *table, *index, choice.left_keys.front(),
                                                           choice.right_keys.front(), type);
        } else if (choice.algorithm == JoinChoice::Algorithm::Hash) {
            source = std::make_unique<operators::HashJoin>(std::move(source), std::move(*right_rows),
                                                           std::move(choice.left_keys), std::move(choice.right_keys),
                                                           left_width, right_width, type);
        } else {
            source = std::make_unique<operators::NestedLoopJoin>(std::move(source), std::move(*right_rows),
                                                                 operators::RowPredicate(std::move(*on)), left_width,
                                                                 right_width, type);
        }
    }
    out.source = std::move(source);
    return out;
}

}  // namespace zembrel::executor
