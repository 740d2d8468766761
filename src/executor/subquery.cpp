#include "executor/subquery.h"

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

// The result of a subquery that names no outer column: the same for every
// outer row, so it runs once per statement. The IN set is built on first use.
// A correlated subquery is prepared on first use instead, and runs per row.
struct CachedResult {
    bool correlated = false;
    std::unique_ptr<CorrelatedSubquery> prepared;
    bool ran = false;
    Rows rows;
    bool set_built = false;
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

// The statement's entry of a subquery, an uncorrelated one run on first
// use; nullptr when no cache is open.
Result<CachedResult*> cached(Engine& engine, const parser::SelectStatement& sub, const OuterContext& outer) {
    if (cache.depth == 0 || cache.engine != &engine) return static_cast<CachedResult*>(nullptr);
    auto [it, fresh] = cache.results.try_emplace(&sub);
    CachedResult& entry = it->second;
    if (fresh && sub.where_clause) {
        auto own = bind_tables(engine, sub.from, sub.joins);
        entry.correlated = !own || names_outer_column(*sub.where_clause, combine_tables(outer.tables, *own),
                                                      joined_width(outer.tables));
    }
    if (entry.correlated || entry.ran) return &entry;
    // Every reference of its WHERE resolved to its own tables, so it runs
    // as a statement of its own, with its own roads (seeks, bound filters).
    auto rows = execute_select(engine, sub, nullptr);
    if (!rows) {
        cache.results.erase(it);
        return fail(rows.error());
    }
    entry.rows = std::move(*rows);
    entry.ran = true;
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
    auto entry = cached(engine, subquery, outer);
    if (!entry) return fail(entry.error());
    if (*entry != nullptr && !(*entry)->correlated) return (*entry)->rows;
    auto plan = prepared(engine, *entry, subquery, outer);
    if (!plan) return fail(plan.error());
    if (*plan != nullptr) return (*plan)->run(engine, outer);
    return execute_select(engine, subquery, &outer);
}

Result<bool> subquery_exists(Engine& engine, const parser::SelectStatement& subquery, const OuterContext& outer) {
    auto entry = cached(engine, subquery, outer);
    if (!entry) return fail(entry.error());
    if (*entry != nullptr && !(*entry)->correlated) return !(*entry)->rows.rows.empty();
    auto plan = prepared(engine, *entry, subquery, outer);
    if (!plan) return fail(plan.error());
    if (*plan != nullptr) return (*plan)->exists(engine, outer);
    auto rows = execute_select(engine, subquery, &outer);
    if (!rows) return fail(rows.error());
    return !rows->rows.empty();
}

Result<operators::Truth> subquery_in(Engine& engine, const Value& probe, const parser::SelectStatement& subquery,
                                     const OuterContext& outer) {
    auto entry = cached(engine, subquery, outer);
    if (!entry) return fail(entry.error());
    if (*entry == nullptr || (*entry)->correlated) {
        auto plan = prepared(engine, *entry, subquery, outer);
        if (!plan) return fail(plan.error());
        if (*plan != nullptr) return (*plan)->in(engine, probe, outer);
        auto rows = execute_select(engine, subquery, &outer);
        if (!rows) return fail(rows.error());
        return in_subquery_truth(probe, *rows);
    }
    CachedResult& c = **entry;
    if (!c.set_built) {
        for (const Row& row : c.rows.rows) {
            if (row.size() != 1) {
                c.bad_width = true;
                break;
            }
            if (row.front().is_null()) c.saw_null = true;
            else c.values.insert(row.front());
        }
        c.set_built = true;
    }
    if (probe.is_null()) return operators::Truth::Indeterminate;
    if (c.rows.rows.empty()) return operators::Truth::False;
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
