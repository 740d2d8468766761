#include "executor/condition_eval.h"

#include "executor/subquery.h"

namespace zembrel::executor {

namespace {

using operators::Truth;
using parser::ExprKind;

Truth truth_of(bool b) { return b ? Truth::True : Truth::False; }

Result<const Value*> column_value(std::span<const BoundTable> tables, const ChainedRow& row,
                                  const parser::ColumnRef& ref) {
    auto p = resolve_column(tables, ref);
    if (!p) return fail(p.error());
    return &row[*p];
}

}  // namespace

Result<Truth> eval_condition(Engine& engine, std::span<const BoundTable> tables, const ChainedRow& row,
                             const parser::Expr& condition) {
    switch (condition.kind()) {
        case ExprKind::Compare: {
            const auto& c = std::get<parser::CompareExpr>(condition.node);
            auto left = column_value(tables, row, c.left);
            if (!left) return fail(left.error());
            const auto op = static_cast<operators::CompareCode>(c.op);
            switch (c.right.kind()) {
                case parser::OperandKind::Value:
                    return operators::compare_truth(op, **left, std::get<Value>(c.right.node));
                case parser::OperandKind::Column: {
                    auto right = column_value(tables, row, std::get<parser::ColumnRef>(c.right.node));
                    if (!right) return fail(right.error());
                    return operators::compare_truth(op, **left, **right);
                }
                case parser::OperandKind::Subquery: {
                    const auto& sub = *std::get<std::unique_ptr<parser::SelectStatement>>(c.right.node);
                    auto rows = run_subquery(engine, sub, OuterContext{tables, &row});
                    if (!rows) return fail(rows.error());
                    auto value = scalar_value(std::move(*rows));
                    if (!value) return fail(value.error());
                    return operators::compare_truth(op, **left, *value);
                }
            }
            return Truth::Indeterminate;
        }
        case ExprKind::IsNull: {
            auto v = column_value(tables, row, std::get<parser::IsNullExpr>(condition.node).column);
            if (!v) return fail(v.error());
            return truth_of((*v)->is_null());
        }
        case ExprKind::IsNotNull: {
            auto v = column_value(tables, row, std::get<parser::IsNotNullExpr>(condition.node).column);
            if (!v) return fail(v.error());
            return truth_of(!(*v)->is_null());
        }
        case ExprKind::Exists: {
            auto exists = subquery_exists(engine, *std::get<parser::ExistsExpr>(condition.node).subquery,
                                          OuterContext{tables, &row});
            if (!exists) return fail(exists.error());
            return truth_of(*exists);
        }
        case ExprKind::InSubquery: {
            const auto& in = std::get<parser::InSubqueryExpr>(condition.node);
            auto probe = column_value(tables, row, in.column);
            if (!probe) return fail(probe.error());
            return subquery_in(engine, **probe, *in.subquery, OuterContext{tables, &row});
        }
        case ExprKind::And:
        case ExprKind::Or: {
            const bool is_and = condition.kind() == ExprKind::And;
            const parser::Expr& l = is_and ? *std::get<parser::AndExpr>(condition.node).left
                                           : *std::get<parser::OrExpr>(condition.node).left;
            const parser::Expr& r = is_and ? *std::get<parser::AndExpr>(condition.node).right
                                           : *std::get<parser::OrExpr>(condition.node).right;
            auto lt = eval_condition(engine, tables, row, l);
            if (!lt) return lt;
            auto rt = eval_condition(engine, tables, row, r);
            if (!rt) return rt;
            return is_and ? operators::truth_and(*lt, *rt) : operators::truth_or(*lt, *rt);
        }
        case ExprKind::Not: {
            auto inner = eval_condition(engine, tables, row, *std::get<parser::NotExpr>(condition.node).inner);
            if (!inner) return inner;
            return operators::truth_not(*inner);
        }
    }
    return Truth::Indeterminate;
}

}  // namespace zembrel::executor
