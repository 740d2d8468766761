#include "planner/select_binding.h"

#include <algorithm>

#include "types/text_format.h"

namespace zembrel::planner {

namespace {

using parser::ExprKind;
using parser::SelectItemKind;

Result<BoundTable> bind_one(Engine& engine, const parser::TableRef& ref, uint64_t offset) {
    auto columns = table_columns(engine, ref.name);
    if (!columns) return fail(columns.error());
    return BoundTable{ref.name, std::move(*columns), ref.alias, offset};
}

const std::vector<Column>* lenient_columns(const Engine& engine, const std::string& name) {
    if (const Table* t = engine.tables.find(name)) return &t->columns;
    if (const PageStore* store = engine.page_store()) {
        if (const CatalogEntry* entry = store->catalog.get(name)) return &entry->columns;
    }
    return nullptr;
}

std::string_view aggregate_word(parser::AggregateFunc f) {
    switch (f) {
        case parser::AggregateFunc::Count: return "COUNT";
        case parser::AggregateFunc::Sum: return "SUM";
        case parser::AggregateFunc::Min: return "MIN";
        case parser::AggregateFunc::Max: return "MAX";
        case parser::AggregateFunc::Avg: return "AVG";
    }
    return "COUNT";
}

operators::AggregateKind aggregate_kind(parser::AggregateFunc f) {
    switch (f) {
        case parser::AggregateFunc::Count: return operators::AggregateKind::Count;
        case parser::AggregateFunc::Sum: return operators::AggregateKind::Sum;
        case parser::AggregateFunc::Min: return operators::AggregateKind::Min;
        case parser::AggregateFunc::Max: return operators::AggregateKind::Max;
        case parser::AggregateFunc::Avg: return operators::AggregateKind::Avg;
    }
    return operators::AggregateKind::Count;
}

std::string aggregate_name(const parser::AggregateItem& item) {
    if (!item.column) return "COUNT(*)";
    return std::string(aggregate_word(item.func)) + "(" + item.column->column + ")";
}

std::string window_name(const parser::WindowItem& item) {
    switch (item.func.kind) {
        case parser::WindowFuncKind::RowNumber: return "ROW_NUMBER()";
        case parser::WindowFuncKind::Rank: return "RANK()";
        case parser::WindowFuncKind::Sum: return "SUM(" + (item.func.column ? item.func.column->column : "") + ")";
    }
    return "ROW_NUMBER()";
}

operators::FrameBound frame_bound(const parser::FrameBound& b) {
    return operators::FrameBound{static_cast<operators::FrameBound::Kind>(b.kind), b.offset};
}

Result<operators::WindowPlan> plan_window(std::span<const BoundTable> tables, const parser::WindowItem& item,
                                          size_t slot) {
    operators::WindowPlan plan;
    plan.output_slot = slot;
    plan.func = static_cast<operators::WindowFuncCode>(item.func.kind);
    for (const parser::ColumnRef& ref : item.spec.partition_by) {
        auto p = resolve_column(tables, ref);
        if (!p) return fail(p.error());
        plan.partition_by.push_back(*p);
    }
    for (const parser::OrderByItem& o : item.spec.order_by) {
        auto p = resolve_column(tables, o.column);
        if (!p) return fail(p.error());
        plan.order_by.push_back(operators::SortKey{*p, !o.descending});
    }
    if (item.func.kind == parser::WindowFuncKind::Sum) {
        if (!item.func.column) return execution_error("SUM window function needs a column");
        auto p = resolve_column(tables, *item.func.column);
        if (!p) return fail(p.error());
        plan.value_col = *p;
    }
    if (item.spec.frame) plan.frame = std::make_pair(frame_bound(item.spec.frame->start), frame_bound(item.spec.frame->end));
    return plan;
}

}  // namespace

uint64_t joined_width(std::span<const BoundTable> tables) {
    uint64_t width = 0;
    for (const BoundTable& t : tables) width = std::max<uint64_t>(width, t.offset + t.columns.size());
    return width;
}

Result<std::vector<Column>> table_columns(Engine& engine, const std::string& name) {
    if (const Table* t = engine.tables.find(name)) return t->columns;
    auto store = engine.ensure_page_store();
    if (!store) return fail(store.error());
    const CatalogEntry* entry = (*store)->catalog.get(name);
    if (entry == nullptr) return execution_error(format("table '{}' not found", name));
    return entry->columns;
}

Result<std::vector<BoundTable>> bind_tables(Engine& engine, const parser::TableRef& from,
                                            std::span<const parser::Join> joins) {
    std::vector<BoundTable> tables;
    tables.reserve(joins.size() + 1);
    auto first = bind_one(engine, from, 0);
    if (!first) return fail(first.error());
    uint64_t offset = first->columns.size();
    tables.push_back(std::move(*first));
    for (const parser::Join& join : joins) {
        auto t = bind_one(engine, join.table, offset);
        if (!t) return fail(t.error());
        offset += t->columns.size();
        tables.push_back(std::move(*t));
    }
    return tables;
}

std::vector<BoundTable> bind_tables_lenient(const Engine& engine, const parser::TableRef& from,
                                            std::span<const parser::Join> joins) {
    std::vector<BoundTable> tables;
    uint64_t offset = 0;
    auto add = [&](const parser::TableRef& ref) {
        const std::vector<Column>* columns = lenient_columns(engine, ref.name);
        if (columns == nullptr) return;
        tables.push_back(BoundTable{ref.name, *columns, ref.alias, offset});
        offset += columns->size();
    };
    add(from);
    for (const parser::Join& join : joins) add(join.table);
    return tables;
}

bool names_hash_column(const Engine& engine, const parser::TableRef& from, std::span<const parser::Join> joins) {
    auto salted = [&](const parser::TableRef& ref) {
        const std::vector<Column>* columns = lenient_columns(engine, ref.name);
        return columns != nullptr &&
               std::any_of(columns->begin(), columns->end(), [](const Column& c) { return c.salt.has_value(); });
    };
    return salted(from) || std::any_of(joins.begin(), joins.end(), [&](const parser::Join& j) { return salted(j.table); });
}

Result<uint64_t> resolve_column(std::span<const BoundTable> scope, const parser::ColumnRef& ref) {
    if (!ref.table) {
        std::optional<uint64_t> found;
        for (const BoundTable& t : scope) {
            for (size_t i = 0; i < t.columns.size(); ++i) {
                if (t.columns[i].name != ref.column) continue;
                if (found)
                    return execution_error(
                        format("ambiguous column '{}' \xE2\x80\x94 qualify with table name or alias", ref.column));
                found = t.offset + i;
                break;
            }
        }
        if (!found) return execution_error(format("column '{}' not found", ref.column));
        return *found;
    }
    for (const BoundTable& t : scope) {
        if (!((t.alias && *t.alias == *ref.table) || t.name == *ref.table)) continue;
        for (size_t i = 0; i < t.columns.size(); ++i) {
            if (t.columns[i].name == ref.column) return t.offset + i;
        }
        return execution_error(format("column '{}' not found in table '{}'", ref.column, t.name));
    }
    return execution_error(format("table or alias '{}' not found", *ref.table));
}

Status check_columns(const parser::Expr& condition, std::span<const BoundTable> scope) {
    switch (condition.kind()) {
        case ExprKind::Compare: {
            const auto& c = std::get<parser::CompareExpr>(condition.node);
            if (auto p = resolve_column(scope, c.left); !p) return fail(p.error());
            if (const auto* col = std::get_if<parser::ColumnRef>(&c.right.node)) {
                if (auto p = resolve_column(scope, *col); !p) return fail(p.error());
            }
            return {};
        }
        case ExprKind::IsNull:
            if (auto p = resolve_column(scope, std::get<parser::IsNullExpr>(condition.node).column); !p)
                return fail(p.error());
            return {};
        case ExprKind::IsNotNull:
            if (auto p = resolve_column(scope, std::get<parser::IsNotNullExpr>(condition.node).column); !p)
                return fail(p.error());
            return {};
        case ExprKind::Exists:
        case ExprKind::InSubquery: return {};
        case ExprKind::And: {
            const auto& a = std::get<parser::AndExpr>(condition.node);
            if (auto st = check_columns(*a.left, scope); !st) return st;
            return check_columns(*a.right, scope);
        }
        case ExprKind::Or: {
            const auto& o = std::get<parser::OrExpr>(condition.node);
            if (auto st = check_columns(*o.left, scope); !st) return st;
            return check_columns(*o.right, scope);
        }
        case ExprKind::Not: return check_columns(*std::get<parser::NotExpr>(condition.node).inner, scope);
    }
    return {};
}

Result<operators::BoundPredicate> bind_predicate(const parser::Expr& condition, std::span<const BoundTable> scope) {
    using operators::BoundPredicate;
    switch (condition.kind()) {
        case ExprKind::Compare: {
            const auto& c = std::get<parser::CompareExpr>(condition.node);
            auto left = resolve_column(scope, c.left);
            if (!left) return fail(left.error());
            const auto op = static_cast<operators::CompareCode>(c.op);
            switch (c.right.kind()) {
                case parser::OperandKind::Value:
                    return BoundPredicate::compare_literal(op, *left, std::get<Value>(c.right.node));
                case parser::OperandKind::Column: {
                    auto right = resolve_column(scope, std::get<parser::ColumnRef>(c.right.node));
                    if (!right) return fail(right.error());
                    return BoundPredicate::compare_columns(op, *left, *right);
                }
                case parser::OperandKind::Subquery:
                    return execution_error("scalar subqueries in comparisons use dynamic evaluation");
            }
            return execution_error("scalar subqueries in comparisons use dynamic evaluation");
        }
        case ExprKind::IsNull: {
            auto p = resolve_column(scope, std::get<parser::IsNullExpr>(condition.node).column);
            if (!p) return fail(p.error());
            return BoundPredicate::is_null(*p);
        }
        case ExprKind::IsNotNull: {
            auto p = resolve_column(scope, std::get<parser::IsNotNullExpr>(condition.node).column);
            if (!p) return fail(p.error());
            return BoundPredicate::is_not_null(*p);
        }
        case ExprKind::Exists:
        case ExprKind::InSubquery: return execution_error("subquery predicates must use dynamic evaluation");
        case ExprKind::And: {
            const auto& a = std::get<parser::AndExpr>(condition.node);
            auto l = bind_predicate(*a.left, scope);
            if (!l) return l;
            auto r = bind_predicate(*a.right, scope);
            if (!r) return r;
            return BoundPredicate::both(std::move(*l), std::move(*r));
        }
        case ExprKind::Or: {
            const auto& o = std::get<parser::OrExpr>(condition.node);
            auto l = bind_predicate(*o.left, scope);
            if (!l) return l;
            auto r = bind_predicate(*o.right, scope);
            if (!r) return r;
            return BoundPredicate::either(std::move(*l), std::move(*r));
        }
        case ExprKind::Not: {
            auto inner = bind_predicate(*std::get<parser::NotExpr>(condition.node).inner, scope);
            if (!inner) return inner;
            return BoundPredicate::negate(std::move(*inner));
        }
    }
    return execution_error("unknown condition");
}

Result<OutputPlan> plan_select_list(std::span<const BoundTable> tables,
                                    const std::optional<std::vector<parser::SelectItem>>& items,
                                    const std::optional<std::vector<parser::ColumnRef>>& group_by) {
    OutputPlan plan;
    if (group_by) {
        for (const parser::ColumnRef& ref : *group_by) {
            auto p = resolve_column(tables, ref);
            if (!p) return fail(p.error());
            plan.group_positions.push_back(*p);
        }
    }
    if (!items) {
        if (group_by) return execution_error("SELECT * is not allowed with GROUP BY");
        plan.kind = OutputPlan::Kind::Plain;
        for (const BoundTable& t : tables) {
            for (size_t i = 0; i < t.columns.size(); ++i) {
                plan.columns.push_back(t.columns[i].name);
                plan.projection.push_back(static_cast<int64_t>(t.offset + i));
            }
        }
        return plan;
    }
    const bool aggregate = group_by.has_value() || std::any_of(items->begin(), items->end(), [](const auto& item) {
                               return item.kind() == SelectItemKind::Aggregate;
                           });
    if (aggregate) {
        plan.kind = OutputPlan::Kind::Aggregate;
        for (const parser::SelectItem& item : *items) {
            switch (item.kind()) {
                case SelectItemKind::Column: {
                    const auto& ref = std::get<parser::ColumnRef>(item.node);
                    auto p = resolve_column(tables, ref);
                    if (!p) return fail(p.error());
                    auto at = std::find(plan.group_positions.begin(), plan.group_positions.end(), *p);
                    if (at == plan.group_positions.end())
                        return execution_error(
                            format("column '{}' must appear in GROUP BY or be used in an aggregate", ref.column));
                    plan.columns.push_back(ref.column);
                    plan.outputs.push_back({operators::AggregateOutput::Source::GroupKey,
                                            static_cast<size_t>(at - plan.group_positions.begin())});
                    break;
                }
                case SelectItemKind::Aggregate: {
                    const auto& agg = std::get<parser::AggregateItem>(item.node);
                    plan.columns.push_back(aggregate_name(agg));
                    operators::AggregateCall call;
                    if (!agg.column) {
                        call.kind = operators::AggregateKind::CountStar;
                    } else {
                        auto p = resolve_column(tables, *agg.column);
                        if (!p) return fail(p.error());
                        call.kind = aggregate_kind(agg.func);
                        call.position = *p;
                    }
                    plan.aggregates.push_back(call);
                    plan.outputs.push_back({operators::AggregateOutput::Source::Aggregate, plan.aggregates.size() - 1});
                    break;
                }
                case SelectItemKind::Subquery:
                    return execution_error("scalar subqueries are not supported with GROUP BY yet");
                case SelectItemKind::Window:
                    return execution_error("window functions are not supported with GROUP BY yet");
            }
        }
        return plan;
    }
    plan.kind = OutputPlan::Kind::Plain;
    for (const parser::SelectItem& item : *items) {
        const size_t slot = plan.columns.size();
        switch (item.kind()) {
            case SelectItemKind::Column: {
                const auto& ref = std::get<parser::ColumnRef>(item.node);
                auto p = resolve_column(tables, ref);
                if (!p) return fail(p.error());
                plan.columns.push_back(ref.column);
                plan.projection.push_back(static_cast<int64_t>(*p));
                break;
            }
            case SelectItemKind::Subquery:
                plan.columns.push_back("(subquery)");
                plan.projection.push_back(-1);
                plan.subqueries.emplace_back(slot, std::get<std::unique_ptr<parser::SelectStatement>>(item.node).get());
                break;
            case SelectItemKind::Window: {
                const auto& w = std::get<parser::WindowItem>(item.node);
                plan.columns.push_back(window_name(w));
                plan.projection.push_back(-1);
                auto window = plan_window(tables, w, slot);
                if (!window) return fail(window.error());
                plan.windows.push_back(std::move(*window));
                break;
            }
            case SelectItemKind::Aggregate: break;  // not reached: the plan would be Aggregate
        }
    }
    return plan;
}

}  // namespace zembrel::planner
