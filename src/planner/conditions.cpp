#include "planner/conditions.h"

#include <algorithm>

#include "hash_column/hash_column.h"
#include "types/text_format.h"

namespace zembrel::planner {

namespace {

using parser::ExprKind;
using operators::Truth;

bool already_hashed(std::string_view text) {
    if (text.size() >= 10 && text.compare(0, 10, "$argon2id$") == 0) return true;
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](unsigned char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

const Column* find_column(std::span<const BoundTable> tables, const parser::ColumnRef& ref) {
    for (const BoundTable& t : tables) {
        if (ref.table && !((t.alias && *t.alias == *ref.table) || t.name == *ref.table)) continue;
        for (const Column& c : t.columns)
            if (c.name == ref.column) return &c;
    }
    return nullptr;
}

Status hash_in_subqueries_of_condition(const Engine& engine, parser::Expr& condition) {
    switch (condition.kind()) {
        case ExprKind::Compare: {
            auto& c = std::get<parser::CompareExpr>(condition.node);
            if (auto* sub = std::get_if<std::unique_ptr<parser::SelectStatement>>(&c.right.node))
                return hash_select_literals(engine, **sub);
            return {};
        }
        case ExprKind::Exists: return hash_select_literals(engine, *std::get<parser::ExistsExpr>(condition.node).subquery);
        case ExprKind::InSubquery:
            return hash_select_literals(engine, *std::get<parser::InSubqueryExpr>(condition.node).subquery);
        case ExprKind::And: {
            auto& a = std::get<parser::AndExpr>(condition.node);
            if (auto st = hash_in_subqueries_of_condition(engine, *a.left); !st) return st;
            return hash_in_subqueries_of_condition(engine, *a.right);
        }
        case ExprKind::Or: {
            auto& o = std::get<parser::OrExpr>(condition.node);
            if (auto st = hash_in_subqueries_of_condition(engine, *o.left); !st) return st;
            return hash_in_subqueries_of_condition(engine, *o.right);
        }
        case ExprKind::Not:
            return hash_in_subqueries_of_condition(engine, *std::get<parser::NotExpr>(condition.node).inner);
        default: return {};
    }
}

}  // namespace

const Value& ChainedRow::operator[](size_t position) const {
    const ChainedRow* part = this;
    while (position < part->outer_width_) part = part->outer_;
    position -= part->outer_width_;
    if (position >= part->own_.size()) invariant_failed("condition column outside the row");
    return part->own_[position];
}

Status hash_condition_literals(parser::Expr& condition, std::span<const BoundTable> tables) {
    switch (condition.kind()) {
        case ExprKind::Compare: {
            auto& c = std::get<parser::CompareExpr>(condition.node);
            auto* literal = std::get_if<Value>(&c.right.node);
            if (literal == nullptr || literal->kind() != ValueKind::Text) return {};
            const Column* column = find_column(tables, c.left);
            if (column == nullptr || !column->salt) return {};
            if (already_hashed(literal->as_text())) return {};
            auto hashed = hash_column::hash_value(literal->as_text(), *column->salt);
            if (!hashed) return execution_error(format("column '{}': hashing failed: {}", column->name, hashed.error()));
            *literal = Value::text(std::move(*hashed));
            return {};
        }
        case ExprKind::And: {
            auto& a = std::get<parser::AndExpr>(condition.node);
            if (auto st = hash_condition_literals(*a.left, tables); !st) return st;
            return hash_condition_literals(*a.right, tables);
        }
        case ExprKind::Or: {
            auto& o = std::get<parser::OrExpr>(condition.node);
            if (auto st = hash_condition_literals(*o.left, tables); !st) return st;
            return hash_condition_literals(*o.right, tables);
        }
        case ExprKind::Not: return hash_condition_literals(*std::get<parser::NotExpr>(condition.node).inner, tables);
        default: return {};
    }
}

Status hash_select_literals(const Engine& engine, parser::SelectStatement& select) {
    // Without a HASH column among its tables this level has nothing to
    // rewrite (its subqueries still may).
    const bool hashes = names_hash_column(engine, select.from, select.joins);
    const std::vector<BoundTable> tables =
        hashes ? bind_tables_lenient(engine, select.from, select.joins) : std::vector<BoundTable>();
    // An ON condition sees the FROM table and the joins up to its own.
    for (size_t i = 0; i < select.joins.size(); ++i) {
        if (hashes) {
            const std::vector<BoundTable> visible =
                bind_tables_lenient(engine, select.from, std::span<const parser::Join>(select.joins).first(i + 1));
            if (auto st = hash_condition_literals(select.joins[i].on, visible); !st) return st;
        }
        if (auto st = hash_in_subqueries_of_condition(engine, select.joins[i].on); !st) return st;
    }
    if (select.where_clause) {
        if (hashes) {
            if (auto st = hash_condition_literals(*select.where_clause, tables); !st) return st;
        }
        if (auto st = hash_in_subqueries_of_condition(engine, *select.where_clause); !st) return st;
    }
    if (select.items) {
        for (parser::SelectItem& item : *select.items) {
            if (auto* sub = std::get_if<std::unique_ptr<parser::SelectStatement>>(&item.node)) {
                if (auto st = hash_select_literals(engine, **sub); !st) return st;
            }
        }
    }
    return {};
}

bool contains_subquery(const parser::Expr& condition) {
    switch (condition.kind()) {
        case ExprKind::Compare:
            return std::get<parser::CompareExpr>(condition.node).right.kind() == parser::OperandKind::Subquery;
        case ExprKind::IsNull:
        case ExprKind::IsNotNull: return false;
        case ExprKind::Exists:
        case ExprKind::InSubquery: return true;
        case ExprKind::And: {
            const auto& a = std::get<parser::AndExpr>(condition.node);
            return contains_subquery(*a.left) || contains_subquery(*a.right);
        }
        case ExprKind::Or: {
            const auto& o = std::get<parser::OrExpr>(condition.node);
            return contains_subquery(*o.left) || contains_subquery(*o.right);
        }
        case ExprKind::Not: return contains_subquery(*std::get<parser::NotExpr>(condition.node).inner);
    }
    return false;
}

Result<uint64_t> max_column_position(const parser::Expr& condition, std::span<const BoundTable> tables) {
    switch (condition.kind()) {
        case ExprKind::Compare: {
            const auto& c = std::get<parser::CompareExpr>(condition.node);
            auto left = resolve_column(tables, c.left);
            if (!left) return left;
            if (const auto* col = std::get_if<parser::ColumnRef>(&c.right.node)) {
                auto right = resolve_column(tables, *col);
                if (!right) return right;
                return std::max(*left, *right);
            }
            return left;
        }
        case ExprKind::IsNull: return resolve_column(tables, std::get<parser::IsNullExpr>(condition.node).column);
        case ExprKind::IsNotNull: return resolve_column(tables, std::get<parser::IsNotNullExpr>(condition.node).column);
        case ExprKind::Exists:
        case ExprKind::InSubquery: return uint64_t{0};
        case ExprKind::And:
        case ExprKind::Or: {
            const parser::Expr* l;
            const parser::Expr* r;
            if (const auto* a = std::get_if<parser::AndExpr>(&condition.node)) {
                l = a->left.get();
                r = a->right.get();
            } else {
                const auto& o = std::get<parser::OrExpr>(condition.node);
                l = o.left.get();
                r = o.right.get();
            }
            auto lp = max_column_position(*l, tables);
            if (!lp) return lp;
            auto rp = max_column_position(*r, tables);
            if (!rp) return rp;
            return std::max(*lp, *rp);
        }
        case ExprKind::Not: return max_column_position(*std::get<parser::NotExpr>(condition.node).inner, tables);
    }
    return uint64_t{0};
}

Result<bool> where_fits_left_table(const parser::Expr& condition, std::span<const BoundTable> tables,
                                   uint64_t left_width) {
    if (contains_subquery(condition)) return false;
    auto max = max_column_position(condition, tables);
    if (!max) return fail(max.error());
    return *max < left_width;
}

std::optional<std::pair<std::vector<size_t>, std::vector<size_t>>> equi_join_keys(
    const operators::BoundPredicate& predicate, size_t left_width) {
    auto pairs = predicate.equi_pairs(left_width);
    if (!pairs || pairs->empty()) return std::nullopt;
    std::pair<std::vector<size_t>, std::vector<size_t>> keys;
    for (auto [l, r] : *pairs) {
        keys.first.push_back(l);
        keys.second.push_back(r);
    }
    return keys;
}

namespace {

parser::CompareOp mirrored(parser::CompareOp op) {
    switch (op) {
        case parser::CompareOp::Lt: return parser::CompareOp::Gt;
        case parser::CompareOp::Gt: return parser::CompareOp::Lt;
        case parser::CompareOp::Le: return parser::CompareOp::Ge;
        case parser::CompareOp::Ge: return parser::CompareOp::Le;
        default: return op;
    }
}

template <class Node>
std::optional<parser::Expr> binary_with_outer(const Node& n, std::span<const BoundTable> scope, uint64_t outer_width,
                                              const ChainedRow& outer_row) {
    auto l = with_outer_values(*n.left, scope, outer_width, outer_row);
    if (!l) return std::nullopt;
    auto r = with_outer_values(*n.right, scope, outer_width, outer_row);
    if (!r) return std::nullopt;
    return parser::Expr{Node{std::make_unique<parser::Expr>(std::move(*l)), std::make_unique<parser::Expr>(std::move(*r))}};
}

}  // namespace

bool names_outer_column(const parser::Expr& e, std::span<const BoundTable> scope, uint64_t outer_width) {
    auto outer_or_error = [&](const parser::ColumnRef& ref) {
        auto p = resolve_column(scope, ref);
        return !p || *p < outer_width;
    };
    switch (e.kind()) {
        case parser::ExprKind::Compare: {
            const auto& c = std::get<parser::CompareExpr>(e.node);
            if (outer_or_error(c.left)) return true;
            if (const auto* col = std::get_if<parser::ColumnRef>(&c.right.node)) return outer_or_error(*col);
            return c.right.kind() == parser::OperandKind::Subquery;
        }
        case parser::ExprKind::IsNull: return outer_or_error(std::get<parser::IsNullExpr>(e.node).column);
        case parser::ExprKind::IsNotNull: return outer_or_error(std::get<parser::IsNotNullExpr>(e.node).column);
        case parser::ExprKind::Exists:
        case parser::ExprKind::InSubquery: return true;  // its own subquery may name them
        case parser::ExprKind::And: {
            const auto& a = std::get<parser::AndExpr>(e.node);
            return names_outer_column(*a.left, scope, outer_width) || names_outer_column(*a.right, scope, outer_width);
        }
        case parser::ExprKind::Or: {
            const auto& o = std::get<parser::OrExpr>(e.node);
            return names_outer_column(*o.left, scope, outer_width) || names_outer_column(*o.right, scope, outer_width);
        }
        case parser::ExprKind::Not: return names_outer_column(*std::get<parser::NotExpr>(e.node).inner, scope, outer_width);
    }
    return true;
}

std::optional<parser::Expr> with_outer_values(const parser::Expr& where, std::span<const BoundTable> scope,
                                              uint64_t outer_width, const ChainedRow& outer_row) {
    // Some(position) for an own column, none for an outer one or an error.
    auto own = [&](const parser::ColumnRef& ref) -> std::optional<std::optional<uint64_t>> {
        auto p = resolve_column(scope, ref);
        if (!p) return std::nullopt;
        if (*p < outer_width) return std::optional<uint64_t>();
        return std::optional<uint64_t>(*p);
    };
    auto outer_value = [&](const parser::ColumnRef& ref) -> std::optional<Value> {
        auto p = resolve_column(scope, ref);
        if (!p || *p >= outer_width || *p >= outer_row.size()) return std::nullopt;
        return outer_row[*p];
    };
    switch (where.kind()) {
        case ExprKind::Compare: {
            const auto& c = std::get<parser::CompareExpr>(where.node);
            auto left = own(c.left);
            if (!left) return std::nullopt;
            if (const auto* v = std::get_if<Value>(&c.right.node)) {
                if (!*left) return std::nullopt;
                return parser::Expr{parser::CompareExpr{c.left, c.op, parser::Operand{*v}}};
            }
            const auto* col = std::get_if<parser::ColumnRef>(&c.right.node);
            if (col == nullptr) return std::nullopt;
            auto right = own(*col);
            if (!right) return std::nullopt;
            if (*left && *right) return parser::Expr{parser::CompareExpr{c.left, c.op, parser::Operand{*col}}};
            if (*left) {
                auto v = outer_value(*col);
                if (!v) return std::nullopt;
                return parser::Expr{parser::CompareExpr{c.left, c.op, parser::Operand{std::move(*v)}}};
            }
            if (*right) {
                auto v = outer_value(c.left);
                if (!v) return std::nullopt;
                return parser::Expr{parser::CompareExpr{*col, mirrored(c.op), parser::Operand{std::move(*v)}}};
            }
            return std::nullopt;
        }
        case ExprKind::IsNull: {
            const auto& n = std::get<parser::IsNullExpr>(where.node);
            auto p = own(n.column);
            if (!p || !*p) return std::nullopt;
            return parser::Expr{parser::IsNullExpr{n.column}};
        }
        case ExprKind::IsNotNull: {
            const auto& n = std::get<parser::IsNotNullExpr>(where.node);
            auto p = own(n.column);
            if (!p || !*p) return std::nullopt;
            return parser::Expr{parser::IsNotNullExpr{n.column}};
        }
        case ExprKind::Exists:
        case ExprKind::InSubquery: return std::nullopt;
        case ExprKind::And:
            return binary_with_outer(std::get<parser::AndExpr>(where.node), scope, outer_width, outer_row);
        case ExprKind::Or: return binary_with_outer(std::get<parser::OrExpr>(where.node), scope, outer_width, outer_row);
        case ExprKind::Not: {
            auto inner = with_outer_values(*std::get<parser::NotExpr>(where.node).inner, scope, outer_width, outer_row);
            if (!inner) return std::nullopt;
            return parser::Expr{parser::NotExpr{std::make_unique<parser::Expr>(std::move(*inner))}};
        }
    }
    return std::nullopt;
}

}  // namespace zembrel::planner
