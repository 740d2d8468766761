#include "executor/subquery.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "executor/correlated_subquery.h"
#include "executor/select.h"
#include "operators/key_hash.h"

namespace zembrel::executor {

namespace {

struct ValueKeyHash {
    size_t operator()(const Value& v) const { return operators::key_hash(v); }
};
struct ValueKeyEqual {
    bool operator()(const Value& a, const Value& b) const { return Value::key_cmp(a, b) == 0; }
};

// How a subquery's rows are used where it stands; a subquery node stands in
// one place, so its entry keeps only what that use needs.
enum class Use { Rows, Exists, In };

// The result of a subquery that names no column outside it: the same for
// every outer row, so it runs once per statement. An EXISTS keeps whether
// there were rows, an IN its set of values, a scalar the rows.
// A correlated subquery is prepared on first use instead, and runs per row.
struct CachedResult {
    bool correlated = false;
    std::unique_ptr<CorrelatedSubquery> prepared;
    bool ran = false;
    Rows rows;
    bool any_rows = false;
    bool saw_null = false;
    bool bad_width = false;
    std::unordered_set<Value, ValueKeyHash, ValueKeyEqual> values;
};

// One statement's cache, open while SubqueryCacheScope lives. Keys are the
// subqueries' nodes, which the statement owns for as long as it runs.
struct Cache {
    const Engine* engine = nullptr;
    int depth = 0;
    std::unordered_map<const parser::SelectStatement*, CachedResult> results;
};
thread_local Cache cache;

// Calls `column` for each column a condition names and `subquery` for each
// subquery it holds, left to right, until one of them says true; whether
// one did.
template <class OnColumn, class OnSubquery>
bool any_reference(const parser::Expr& e, OnColumn&& column, OnSubquery&& subquery) {
    switch (e.kind()) {
        case parser::ExprKind::Compare: {
            const auto& c = std::get<parser::CompareExpr>(e.node);
            if (column(c.left)) return true;
            if (const auto* col = std::get_if<parser::ColumnRef>(&c.right.node)) return column(*col);
            if (const auto* sub = std::get_if<std::unique_ptr<parser::SelectStatement>>(&c.right.node))
                return subquery(**sub);
            return false;
        }
        case parser::ExprKind::IsNull: return column(std::get<parser::IsNullExpr>(e.node).column);
        case parser::ExprKind::IsNotNull: return column(std::get<parser::IsNotNullExpr>(e.node).column);
        case parser::ExprKind::Exists: return subquery(*std::get<parser::ExistsExpr>(e.node).subquery);
        case parser::ExprKind::InSubquery: {
            const auto& in = std::get<parser::InSubqueryExpr>(e.node);
            return column(in.column) || subquery(*in.subquery);
        }
        case parser::ExprKind::And: {
            const auto& a = std::get<parser::AndExpr>(e.node);
            return any_reference(*a.left, column, subquery) || any_reference(*a.right, column, subquery);
        }
        case parser::ExprKind::Or: {
            const auto& o = std::get<parser::OrExpr>(e.node);
            return any_reference(*o.left, column, subquery) || any_reference(*o.right, column, subquery);
        }
        case parser::ExprKind::Not: return any_reference(*std::get<parser::NotExpr>(e.node).inner, column, subquery);
    }
    return true;
}

bool no_subquery(const parser::SelectStatement&) { return false; }
bool no_column(const parser::ColumnRef&) { return false; }

// Whether a subquery evaluated inside `scope` (the tables its WHERE sees
// before its own) depends on the first `outside` positions of that scope,
// and so cannot run as a statement of its own: its WHERE, or the WHERE of a
// subquery in it at any depth, names a column there. References resolve as
// the subquery's run resolves them, over the scope followed by its own
// tables. One that fails to resolve counts as such a column: the run with
// the outer row reports its error. A subquery that runs on its outer row
// (it names a column of its direct outer scope, or holds a subquery) also
// resolves its ON, GROUP BY and ORDER BY columns over that scope; they must
// stay inside as well, so that its run, and every error it raises, is the
// same without the outside. The subquery's own tables are appended to
// `scope` while it is looked at, and taken off again.
bool reaches_outside(Engine& engine, const parser::SelectStatement& sub, std::vector<BoundTable>& scope,
                     uint64_t outside) {
    // Without a WHERE a subquery never sees its outer scope.
    if (!sub.where_clause) return false;
    auto own = bind_tables(engine, sub.from, sub.joins);
    if (!own) return true;
    const size_t outer_count = scope.size();
    const uint64_t outer_width = joined_width(scope);
    for (BoundTable& table : *own) {
        table.offset += outer_width;
        scope.push_back(std::move(table));
    }
    bool names_outer = false;
    auto beyond = [&](const parser::ColumnRef& ref) {
        auto p = resolve_column(scope, ref);
        if (!p || *p < outside) return true;
        names_outer = names_outer || *p < outer_width;
        return false;
    };
    auto reaches = [&] {
        if (any_reference(*sub.where_clause, beyond, no_subquery)) return true;
        if (!names_outer && !contains_subquery(*sub.where_clause)) return false;
        for (const parser::Join& join : sub.joins) {
            if (any_reference(join.on, beyond, no_subquery)) return true;
        }
        if (sub.group_by && std::any_of(sub.group_by->begin(), sub.group_by->end(), beyond)) return true;
        if (sub.order_by && std::any_of(sub.order_by->begin(), sub.order_by->end(),
                                        [&](const parser::OrderByItem& item) { return beyond(item.column); }))
            return true;
        return any_reference(*sub.where_clause, no_column, [&](const parser::SelectStatement& inner) {
            return reaches_outside(engine, inner, scope, outside);
        });
    };
    const bool result = reaches();
    scope.erase(scope.begin() + static_cast<std::ptrdiff_t>(outer_count), scope.end());
    return result;
}

// The statement's entry of a subquery, an uncorrelated one run on first
// use; nullptr when no cache is open.
Result<CachedResult*> cached(Engine& engine, const parser::SelectStatement& sub, const OuterContext& outer, Use use) {
    if (cache.depth == 0 || cache.engine != &engine) return static_cast<CachedResult*>(nullptr);
    auto [it, fresh] = cache.results.try_emplace(&sub);
    CachedResult& entry = it->second;
    if (fresh) {
        std::vector<BoundTable> scope(outer.tables.begin(), outer.tables.end());
        entry.correlated = reaches_outside(engine, sub, scope, joined_width(outer.tables));
    }
    if (entry.correlated || entry.ran) return &entry;
    // Every reference of its WHERE, and of the WHEREs inside it, resolved
    // inside it, so it runs as a statement of its own, with its own roads
    // (seeks, bound filters).
    auto rows = execute_select(engine, sub, nullptr);
    if (!rows) {
        cache.results.erase(it);
        return fail(rows.error());
    }
    entry.ran = true;
    entry.any_rows = !rows->rows.empty();
    switch (use) {
        case Use::Rows: entry.rows = std::move(*rows); break;
        case Use::Exists: break;
        case Use::In:
            for (Row& row : rows->rows) {
                if (row.size() != 1) {
                    entry.bad_width = true;
                    break;
                }
                if (row.front().is_null()) entry.saw_null = true;
                else entry.values.insert(std::move(row.front()));
            }
            break;
    }
    return &entry;
}

// The prepared plan of a correlated entry for this outer row; nullptr when
// the subquery must run afresh (no cache, or an outer row of another shape).
// Binding errors surface on first use, as they would from a fresh run.
Result<CorrelatedSubquery*> prepared(Engine& engine, CachedResult* entry, const parser::SelectStatement& sub,
                                     const OuterContext& outer) {
    if (entry == nullptr || outer.row == nullptr) return static_cast<CorrelatedSubquery*>(nullptr);
    if (!entry->prepared) {
        auto made = CorrelatedSubquery::prepare(engine, sub, outer);
        if (!made) return fail(made.error());
        entry->prepared = std::move(*made);
    }
    if (!entry->prepared->fits(outer)) return static_cast<CorrelatedSubquery*>(nullptr);
    return entry->prepared.get();
}

}  // namespace

SubqueryCacheScope::SubqueryCacheScope(const Engine& engine) {
    if (cache.depth == 0) cache.engine = &engine;
    ++cache.depth;
}

SubqueryCacheScope::~SubqueryCacheScope() {
    if (--cache.depth == 0) {
        cache.results.clear();
        cache.engine = nullptr;
    }
}

Result<Rows> run_subquery(Engine& engine, const parser::SelectStatement& subquery, const OuterContext& outer) {
    auto entry = cached(engine, subquery, outer, Use::Rows);
    if (!entry) return fail(entry.error());
    if (*entry != nullptr && !(*entry)->correlated) return (*entry)->rows;
    auto plan = prepared(engine, *entry, subquery, outer);
    if (!plan) return fail(plan.error());
    if (*plan != nullptr) return (*plan)->run(engine, outer);
    return execute_select(engine, subquery, &outer);
}

Result<bool> subquery_exists(Engine& engine, const parser::SelectStatement& subquery, const OuterContext& outer) {
    auto entry = cached(engine, subquery, outer, Use::Exists);
    if (!entry) return fail(entry.error());
    if (*entry != nullptr && !(*entry)->correlated) return (*entry)->any_rows;
    auto plan = prepared(engine, *entry, subquery, outer);
    if (!plan) return fail(plan.error());
    if (*plan != nullptr) return (*plan)->exists(engine, outer);
    auto rows = execute_select(engine, subquery, &outer);
    if (!rows) return fail(rows.error());
    return !rows->rows.empty();
}

Result<operators::Truth> subquery_in(Engine& engine, const Value& probe, const parser::SelectStatement& subquery,
                                     const OuterContext& outer) {
    auto entry = cached(engine, subquery, outer, Use::In);
    if (!entry) return fail(entry.error());
    if (*entry == nullptr || (*entry)->correlated) {
        auto plan = prepared(engine, *entry, subquery, outer);
        if (!plan) return fail(plan.error());
        if (*plan != nullptr) return (*plan)->in(engine, probe, outer);
        auto rows = execute_select(engine, subquery, &outer);
        if (!rows) return fail(rows.error());
        return in_subquery_truth(probe, *rows);
    }
    const CachedResult& c = **entry;
    if (probe.is_null()) return operators::Truth::Indeterminate;
    if (!c.any_rows) return operators::Truth::False;
    if (c.bad_width) return operators::Truth::Indeterminate;
    if (c.values.contains(probe)) return operators::Truth::True;
    return c.saw_null ? operators::Truth::Indeterminate : operators::Truth::False;
}

Result<Value> scalar_value(Rows result) {
    if (result.rows.empty()) return Value::null();
    if (result.rows.size() > 1) return execution_error("subquery returned more than one row");
    if (result.rows.front().size() != 1) return execution_error("subquery must return exactly one column");
    return std::move(result.rows.front().front());
}

operators::Truth in_subquery_truth(const Value& probe, const Rows& result) {
    if (probe.is_null()) return operators::Truth::Indeterminate;
    bool saw_null = false;
    for (const Row& row : result.rows) {
        if (row.size() != 1) return operators::Truth::Indeterminate;
        if (row.front().is_null()) saw_null = true;
        else if (Value::key_cmp(row.front(), probe) == 0) return operators::Truth::True;
    }
    return saw_null ? operators::Truth::Indeterminate : operators::Truth::False;
}

}  // namespace zembrel::executor
