#include "planner/explain.h"

#include "planner/bind_select.h"
#include "planner/join_choice.h"
#include "planner/table_source.h"

#include "types/text_format.h"

namespace zembrel::planner {

namespace {

std::string bound_text(const Bound& bound) {
    switch (bound.kind) {
        case Bound::Kind::Included: return "Included(" + bound.value.display() + ")";
        case Bound::Kind::Excluded: return "Excluded(" + bound.value.display() + ")";
        case Bound::Kind::Unbounded: return "Unbounded";
    }
    return "Unbounded";
}

std::string kind_text(parser::JoinKind kind) {
    switch (kind) {
        case parser::JoinKind::Inner: return "Inner";
        case parser::JoinKind::Left: return "Left";
        case parser::JoinKind::Right: return "Right";
    }
    return "Inner";
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? separator : "") + parts[i];
    return out;
}

std::string index_seek_line(const std::string& table, const AccessPath& path) {
    if (path.kind == AccessPath::Kind::Composite) {
        std::vector<std::string> values;
        for (const Value& v : path.key) values.push_back(v.display());
        return format("IndexSeek(table={}, index=({}), key=[{}])", table, joined(path.columns, ","),
                      joined(values, ","));
    }
    return format("IndexSeek(table={}, col={}, lower={}, upper={})", table, path.columns.front(),
                  bound_text(path.lower), bound_text(path.upper));
}

std::string nested_loop_line(parser::JoinKind kind) { return format("NestedLoopJoin(kind={})", kind_text(kind)); }

std::string hash_join_line(parser::JoinKind kind, const std::vector<size_t>& left_keys, bool build_left) {
    std::vector<std::string> keys;
    for (size_t k : left_keys) keys.push_back(std::to_string(k));
    return format(build_left ? "HashJoin(build=left, probe=right, kind={}, keys=[{}])"
                             : "HashJoin(build=right, probe=left, kind={}, keys=[{}])",
                  kind_text(kind), joined(keys, ", "));
}

// The steps above the rows, in the order they run; Project always last.
void pipeline_tail(std::vector<std::string>& lines, bool residual_where, bool aggregates, bool order_by,
                   std::optional<uint64_t> limit) {
    if (residual_where) lines.emplace_back("Filter");
    if (aggregates) lines.emplace_back("HashAggregate");
    if (order_by) lines.emplace_back("ExternalSort");
    if (limit) lines.push_back(format("Limit({})", *limit));
    lines.emplace_back("Project");
}

}  // namespace

Result<std::vector<std::string>> explain_select(Engine& engine, const parser::SelectStatement& s) {
    auto bound = bind_select(engine, s, nullptr);
    if (!bound) return fail(bound.error());
    const std::vector<BoundTable>& tables = bound->tables;
    const bool aggregates = bound->plan.kind == OutputPlan::Kind::Aggregate || s.group_by.has_value();
    std::vector<std::string> lines;

    if (s.joins.empty()) {
        // The very path SELECT seeks through.
        if (auto planned = plan_access_path(engine, s, tables.front(), aggregates)) {
            // An ordered seek delivers the rows sorted and limited.
            const AccessPath& path = *planned;
            lines.push_back(index_seek_line(s.from.name, path));
            pipeline_tail(lines, false, aggregates, !path.ordered && s.order_by.has_value(),
                                   path.ordered ? std::nullopt : s.limit);
            return lines;
        }
        lines.push_back(format("TableScan({})", s.from.name));
        pipeline_tail(lines, s.where_clause.has_value(), aggregates, s.order_by.has_value(), s.limit);
        return lines;
    }

    auto push = where_pushes_down(s, tables, nullptr);
    if (!push) return fail(push.error());
    if (*push) lines.push_back(format("Filter({} pushdown)", s.from.name));
    lines.push_back(format("TableScan({})", s.from.name));
    const bool order_free = order_free_joins(s, bound->plan, tables);
    for (size_t i = 0; i < s.joins.size(); ++i) {
        const std::span<const BoundTable> scope = std::span<const BoundTable>(tables).first(i + 2);
        auto on = bind_predicate(s.joins[i].on, scope);
        if (!on) return fail(on.error());
        // The counts SELECT compares, from the same row snapshots.
        JoinSetting setting{i, order_free, *push, [&]() -> Result<std::pair<size_t, size_t>> {
                                auto from = table_rows_snapshot(engine, s.from.name);
                                if (!from) return fail(from.error());
                                auto right = table_rows_snapshot(engine, s.joins[i].table.name);
                                if (!right) return fail(right.error());
                                return std::pair<size_t, size_t>((*from)->size(), (*right)->size());
                            }};
        auto choice = choose_join(engine, *on, scope, s.joins[i], setting);
        if (!choice) return fail(choice.error());
        auto column_at = [&](size_t position) {
            for (const BoundTable& t : scope) {
                if (position >= t.offset && position < t.offset + t.columns.size())
                    return t.columns[position - t.offset].name;
            }
            return std::string();
        };
        switch (choice->algorithm) {
            case JoinChoice::Algorithm::NestedLoop: lines.push_back(nested_loop_line(s.joins[i].kind)); break;
            case JoinChoice::Algorithm::Hash:
                lines.push_back(hash_join_line(s.joins[i].kind, choice->left_keys, choice->build_left));
                break;
            case JoinChoice::Algorithm::IndexNestedLoop:
                lines.push_back(format("IndexNestedLoopJoin(probe=left, index_table={}, index_col={}, keys=[{}={}])",
                                       s.joins[i].table.name, choice->index_column,
                                       column_at(choice->left_keys.front()), choice->index_column));
                break;
            case JoinChoice::Algorithm::Merge:
                lines.push_back(format("MergeJoin(left={}, right={}, keys=[{}={}])", s.from.name,
                                       s.joins[i].table.name, column_at(choice->left_keys.front()),
                                       column_at(tables[i + 1].offset + choice->right_keys.front())));
                break;
        }
    }
    pipeline_tail(lines, s.where_clause.has_value() && !*push, aggregates, s.order_by.has_value(), s.limit);
    return lines;
}

}  // namespace zembrel::planner
