// The body of a SELECT, its select list, joins and windows, and conditions.
//
// Recursion happens only through parenthesised conditions and subqueries;
// both pass the nesting guard, and the depth of every condition tree built
// here is tracked in last_depth_ so that long AND/OR chains are bounded too.
#include <algorithm>
#include <iterator>
#include <string_view>

#include "parser/parser.h"
#include "parser/rule_support.h"
#include "types/text_format.h"

namespace zembrel::parser {

using detail::ascii_iequals;
using detail::got;

namespace {

// FULL, CROSS, NATURAL and OUTER are no keywords, so right after a table
// they would read as its alias and "a FULL JOIN b" would run as an inner
// join. An identifier at the parser's position that opens such a join phrase
// ("FULL [OUTER] JOIN", "NATURAL LEFT JOIN", ...) is refused, naming the
// word; as an alias such a word needs AS.
Status refuse_unsupported_join(const Parser& p) {
    static constexpr std::string_view kWords[] = {"FULL", "CROSS", "NATURAL", "OUTER"};
    if (!p.next_is(TokenKind::Identifier)) return {};
    auto word = std::ranges::find_if(kWords, [&](std::string_view w) { return ascii_iequals(p.peek().text, w); });
    if (word == std::end(kWords)) return {};
    for (size_t ahead = 1;; ++ahead) {
        const Token& t = p.peek_at(ahead);
        if (t.kind == TokenKind::Join) return parse_error(format("{} JOIN is not supported", *word));
        const bool join_word = t.kind == TokenKind::Inner || t.kind == TokenKind::Left ||
                               t.kind == TokenKind::Right ||
                               (t.kind == TokenKind::Identifier &&
                                (ascii_iequals(t.text, "OUTER") || ascii_iequals(t.text, "FULL")));
        if (!join_word) return {};
    }
}

// Leaves the nesting level on every path out of a rule.
class NestingExit {
public:
    explicit NestingExit(size_t& level) : level_(level) {}
    ~NestingExit() { --level_; }
    NestingExit(const NestingExit&) = delete;
    NestingExit& operator=(const NestingExit&) = delete;

private:
    size_t& level_;
};


std::optional<CompareOp> compare_op(TokenKind kind) {
    switch (kind) {
        case TokenKind::Equals: return CompareOp::Eq;
        case TokenKind::NotEqual: return CompareOp::Ne;
        case TokenKind::LessThan: return CompareOp::Lt;
        case TokenKind::GreaterThan: return CompareOp::Gt;
        case TokenKind::LessEqual: return CompareOp::Le;
        case TokenKind::GreaterEqual: return CompareOp::Ge;
        default: return std::nullopt;
    }
}

[[gnu::noinline]] std::unexpected<EngineError> condition_depth_error() {
    return parse_error(format("condition nested too deeply: more than {} levels", kMaxConditionDepth));
}

Status check_condition_depth(size_t depth) {
    if (depth > kMaxConditionDepth) return condition_depth_error();
    return {};
}

// left becomes Node(left, right).
template <class Node>
[[gnu::noinline]] void join_operands(Expr& left, Expr&& right) {
    auto l = std::make_unique<Expr>(std::move(left));
    auto r = std::make_unique<Expr>(std::move(right));
    left.node = Node{std::move(l), std::move(r)};
}

// e becomes Not(e).
[[gnu::noinline]] void wrap_not(Expr& e) {
    auto inner = std::make_unique<Expr>(std::move(e));
    e.node = NotExpr{std::move(inner)};
}

}  // namespace

// ---------------------------------------------------------------------------
// SELECT body

Result<SelectStatement> Parser::parse_select() {
    Result<SelectStatement> select{std::in_place};
    if (auto filled = parse_select_into(*select); !filled) return std::unexpected(std::move(filled.error()));
    return select;
}

// Fills `select` clause by clause; each clause rule is out of line so that a
// nested SELECT costs little stack. Sets last_depth_ to the depth of the
// deepest condition or subquery below, plus one.
Status Parser::parse_select_into(SelectStatement& select) {
    ZB_CHECK(enter_nesting());
    NestingExit exit(nesting_);
    size_t depth = 0;
    ZB_CHECK(parse_select_list(select, depth));
    ZB_CHECK(expect(TokenKind::From));
    ZB_CHECK(parse_from_and_joins(select, depth));
    if (next_is(TokenKind::Where)) {
        advance();
        select.where_clause.emplace();
        ZB_CHECK(parse_condition_into(*select.where_clause));
        depth = std::max(depth, last_depth_);
    }
    ZB_CHECK(parse_select_tail(select));
    // The token that ended the last clause stays unread for the caller.
    last_depth_ = depth + 1;
    return check_condition_depth(last_depth_);
}

Status Parser::parse_condition_into(Expr& out) {
    Result<Expr> cond = parse_or_expr();
    if (!cond) return std::unexpected(std::move(cond.error()));
    out = std::move(*cond);
    return {};
}

Status Parser::parse_select_list(SelectStatement& select, size_t& depth) {
    if (next_is(TokenKind::Asterisk)) {
        advance();
        return {};
    }
    auto& items = select.items.emplace();
    do {
        if (!items.empty()) advance();
        last_depth_ = 0;
        ZB_TRY(item, parse_select_item());
        depth = std::max(depth, last_depth_);
        items.push_back(std::move(item));
    } while (next_is(TokenKind::Comma));
    return {};
}

Status Parser::parse_from_and_joins(SelectStatement& select, size_t& depth) {
    ZB_TRY(from, parse_table_ref());
    select.from = std::move(from);
    while (true) {
        JoinKind kind;
        TokenKind t = peek().kind;
        if (t == TokenKind::Join) {
            advance();
            kind = JoinKind::Inner;
        } else if (t == TokenKind::Inner || t == TokenKind::Left || t == TokenKind::Right) {
            advance();
            ZB_CHECK(expect(TokenKind::Join));
            kind = t == TokenKind::Inner ? JoinKind::Inner : t == TokenKind::Left ? JoinKind::Left : JoinKind::Right;
        } else {
            // After an alias given with AS, or after an ON condition.
            ZB_CHECK(refuse_unsupported_join(*this));
            return {};
        }
        ZB_TRY(table, parse_table_ref());
        ZB_CHECK(expect(TokenKind::On));
        Join& join = select.joins.emplace_back(Join{std::move(table), kind, Expr{}});
        ZB_CHECK(parse_condition_into(join.on));
        depth = std::max(depth, last_depth_);
    }
}

// GROUP BY, ORDER BY and LIMIT: no recursion below them.
Status Parser::parse_select_tail(SelectStatement& select) {
    if (next_is(TokenKind::Group)) {
        advance();
        ZB_CHECK(expect(TokenKind::By));
        ZB_TRY(columns, parse_column_ref_list());
        select.group_by = std::move(columns);
    }
    if (next_is(TokenKind::Order)) {
        advance();
        ZB_CHECK(expect(TokenKind::By));
        ZB_TRY(items, parse_order_items());
        select.order_by = std::move(items);
    }
    if (next_is(TokenKind::Limit)) {
        advance();
        Token t = advance();
        if (t.kind != TokenKind::IntegerLiteral) return got("expected integer after LIMIT", t);
        if (t.int_value < 0) return parse_error(format("LIMIT must be non-negative, got {}", t.int_value));
        select.limit = static_cast<uint64_t>(t.int_value);
    }
    return {};
}

Result<SelectItem> Parser::parse_select_item() {
    TokenKind t = peek().kind;
    if (t == TokenKind::LeftParen) {
        // Like a subquery, but the "(" is known to be there.
        ZB_TRY(select, parse_subquery());
        return SelectItem{std::move(select)};
    }
    if (t >= TokenKind::Count && t <= TokenKind::Avg) {
        auto func = static_cast<AggregateFunc>(static_cast<int>(t) - static_cast<int>(TokenKind::Count));
        advance();
        ZB_CHECK(expect(TokenKind::LeftParen));
        std::optional<ColumnRef> column;
        if (next_is(TokenKind::Asterisk)) {
            if (func != AggregateFunc::Count) {
                return parse_error(format("only COUNT accepts '*', got {}", fmt_debug(func)));
            }
            advance();
        } else {
            ZB_TRY(ref, parse_column_ref());
            column = std::move(ref);
        }
        ZB_CHECK(expect(TokenKind::RightParen));
        if (next_is(TokenKind::Over)) {
            if (func != AggregateFunc::Sum) {
                return parse_error(
                    format("OVER is only supported with SUM for window aggregates, got {}", fmt_debug(func)));
            }
            ZB_TRY(spec, parse_window_spec());
            return SelectItem{WindowItem{WindowFunc{WindowFuncKind::Sum, std::move(column)}, std::move(spec)}};
        }
        return SelectItem{AggregateItem{func, std::move(column)}};
    }
    if (t == TokenKind::RowNumber || t == TokenKind::Rank) {
        advance();
        ZB_CHECK(expect(TokenKind::LeftParen));
        ZB_CHECK(expect(TokenKind::RightParen));
        ZB_TRY(spec, parse_window_spec());
        auto kind = t == TokenKind::RowNumber ? WindowFuncKind::RowNumber : WindowFuncKind::Rank;
        return SelectItem{WindowItem{WindowFunc{kind, std::nullopt}, std::move(spec)}};
    }
    ZB_TRY(column, parse_column_ref());
    return SelectItem{std::move(column)};
}

Result<TableRef> Parser::parse_table_ref() {
    ZB_TRY(name, expect_identifier());
    TableRef ref{std::move(name), std::nullopt};
    if (next_is(TokenKind::As)) {
        advance();
        ZB_TRY(alias, expect_identifier());
        ref.alias = std::move(alias);
    } else if (next_is(TokenKind::Identifier)) {
        ZB_CHECK(refuse_unsupported_join(*this));
        ref.alias = advance().text;
    }
    return ref;
}

Result<ColumnRef> Parser::parse_column_ref() {
    ZB_TRY(first, expect_identifier());
    if (!next_is(TokenKind::Dot)) return ColumnRef{std::move(first), std::nullopt};
    advance();
    ZB_TRY(second, expect_identifier());
    return ColumnRef{std::move(second), std::move(first)};
}

Result<std::vector<ColumnRef>> Parser::parse_column_ref_list() {
    std::vector<ColumnRef> columns;
    do {
        if (!columns.empty()) advance();
        ZB_TRY(column, parse_column_ref());
        columns.push_back(std::move(column));
    } while (next_is(TokenKind::Comma));
    return columns;
}

Result<std::vector<OrderByItem>> Parser::parse_order_items() {
    std::vector<OrderByItem> items;
    do {
        if (!items.empty()) advance();
        ZB_TRY(column, parse_column_ref());
        bool descending = false;
        if (next_is(TokenKind::Asc)) {
            advance();
        } else if (next_is(TokenKind::Desc)) {
            advance();
            descending = true;
        }
        items.push_back(OrderByItem{std::move(column), descending});
    } while (next_is(TokenKind::Comma));
    return items;
}

// ---------------------------------------------------------------------------
// Windows

Result<WindowSpec> Parser::parse_window_spec() {
    ZB_CHECK(expect(TokenKind::Over));
    ZB_CHECK(expect(TokenKind::LeftParen));
    WindowSpec spec;
    if (next_is(TokenKind::Partition)) {
        advance();
        ZB_CHECK(expect(TokenKind::By));
        ZB_TRY(columns, parse_column_ref_list());
        spec.partition_by = std::move(columns);
    }
    if (next_is(TokenKind::Order)) {
        advance();
        ZB_CHECK(expect(TokenKind::By));
        ZB_TRY(items, parse_order_items());
        spec.order_by = std::move(items);
    }
    if (next_is(TokenKind::Rows)) {
        advance();
        ZB_CHECK(expect(TokenKind::Between));
        ZB_TRY(start, parse_frame_bound());
        ZB_CHECK(expect(TokenKind::And));
        ZB_TRY(end, parse_frame_bound());
        spec.frame = WindowFrame{start, end};
    }
    ZB_CHECK(expect(TokenKind::RightParen));
    return spec;
}

Result<FrameBound> Parser::parse_frame_bound() {
    const Token& t = peek();
    if (t.kind == TokenKind::Unbounded) {
        advance();
        Token dir = advance();
        if (dir.kind == TokenKind::Preceding) return FrameBound{FrameBoundKind::UnboundedPreceding, 0};
        if (dir.kind == TokenKind::Following) return FrameBound{FrameBoundKind::UnboundedFollowing, 0};
        return got("expected PRECEDING or FOLLOWING after UNBOUNDED", dir);
    }
    if (t.kind == TokenKind::Current) {
        advance();
        ZB_CHECK(expect(TokenKind::Row));
        return FrameBound{FrameBoundKind::CurrentRow, 0};
    }
    if (t.kind == TokenKind::IntegerLiteral) {
        if (t.int_value < 0) return parse_error(format("frame offset must be non-negative, got {}", t.int_value));
        auto offset = static_cast<uint64_t>(advance().int_value);
        Token dir = advance();
        if (dir.kind == TokenKind::Preceding) return FrameBound{FrameBoundKind::Preceding, offset};
        if (dir.kind == TokenKind::Following) return FrameBound{FrameBoundKind::Following, offset};
        return got("expected PRECEDING or FOLLOWING after integer", dir);
    }
    return got("expected frame bound", t);
}

// ---------------------------------------------------------------------------
// Conditions: OR < AND < NOT < predicate; OR and AND associate to the left.

// The rules on the recursion path of parentheses keep their frames small
// (results built in place, cold paths out of line), so the nesting limit
// leaves ample stack on threads with small stacks.

Result<Expr> Parser::parse_or_expr() {
    Result<Expr> left = parse_and_expr();
    if (!left) return left;
    size_t depth = last_depth_;
    while (next_is(TokenKind::Or)) {
        advance();
        Result<Expr> right = parse_and_expr();
        if (!right) return right;
        depth = std::max(depth, last_depth_) + 1;
        if (depth > kMaxConditionDepth) return condition_depth_error();
        join_operands<OrExpr>(*left, std::move(*right));
    }
    last_depth_ = depth;
    return left;
}

Result<Expr> Parser::parse_and_expr() {
    Result<Expr> left = parse_not_expr();
    if (!left) return left;
    size_t depth = last_depth_;
    while (next_is(TokenKind::And)) {
        advance();
        Result<Expr> right = parse_not_expr();
        if (!right) return right;
        depth = std::max(depth, last_depth_) + 1;
        if (depth > kMaxConditionDepth) return condition_depth_error();
        join_operands<AndExpr>(*left, std::move(*right));
    }
    last_depth_ = depth;
    return left;
}

Result<Expr> Parser::parse_not_expr() {
    if (!next_is(TokenKind::Not)) return parse_predicate();
    advance();
    Result<Expr> inner = parse_predicate();
    if (!inner) return inner;
    if (++last_depth_ > kMaxConditionDepth) return condition_depth_error();
    wrap_not(*inner);
    return inner;
}

Result<Expr> Parser::parse_predicate() {
    if (next_is(TokenKind::Exists)) return parse_exists();
    if (!next_is(TokenKind::LeftParen)) return parse_column_predicate();
    advance();
    if (auto entered = enter_nesting(); !entered) return std::unexpected(std::move(entered.error()));
    Result<Expr> inner = parse_or_expr();
    leave_nesting();
    if (!inner) return inner;
    if (!next_is(TokenKind::RightParen)) return got("expected RightParen", peek());
    advance();
    return inner;  // parentheses leave no node; last_depth_ is the inner one's
}

Result<Expr> Parser::parse_exists() {
    advance();
    ZB_TRY(subquery, parse_subquery());
    last_depth_ += 1;
    ZB_CHECK(check_condition_depth(last_depth_));
    return Expr{ExistsExpr{std::move(subquery)}};
}

Result<Expr> Parser::parse_column_predicate() {
    ZB_TRY(column, parse_column_ref());
    Token t = advance();
    switch (t.kind) {
        case TokenKind::Not: {
            if (!next_is(TokenKind::In)) return got("expected IN after NOT", peek());
            advance();
            ZB_TRY(subquery, parse_subquery());
            last_depth_ += 2;
            ZB_CHECK(check_condition_depth(last_depth_));
            Expr in{InSubqueryExpr{std::move(column), std::move(subquery)}};
            return Expr{NotExpr{std::make_unique<Expr>(std::move(in))}};
        }
        case TokenKind::In: {
            ZB_TRY(subquery, parse_subquery());
            last_depth_ += 1;
            ZB_CHECK(check_condition_depth(last_depth_));
            return Expr{InSubqueryExpr{std::move(column), std::move(subquery)}};
        }
        case TokenKind::Is: {
            last_depth_ = 1;
            if (next_is(TokenKind::Not)) {
                advance();
                ZB_CHECK(expect(TokenKind::Null));
                return Expr{IsNotNullExpr{std::move(column)}};
            }
            ZB_CHECK(expect(TokenKind::Null));
            return Expr{IsNullExpr{std::move(column)}};
        }
        default: break;
    }
    auto op = compare_op(t.kind);
    if (!op) return got("expected comparison operator", t);
    last_depth_ = 0;
    ZB_TRY(operand, parse_operand());
    last_depth_ += 1;
    ZB_CHECK(check_condition_depth(last_depth_));
    return Expr{CompareExpr{std::move(column), *op, std::move(operand)}};
}

// Sets last_depth_ to the depth of a subquery operand (0 for the others).
Result<Operand> Parser::parse_operand() {
    if (next_is(TokenKind::Identifier)) {
        ZB_TRY(column, parse_column_ref());
        return Operand{std::move(column)};
    }
    if (next_is(TokenKind::LeftParen) && peek_at(1).kind == TokenKind::Select) {
        ZB_TRY(subquery, parse_subquery());
        return Operand{std::move(subquery)};
    }
    ZB_TRY(value, parse_value_literal());
    return Operand{std::move(value)};
}

Result<std::unique_ptr<SelectStatement>> Parser::parse_subquery() {
    ZB_CHECK(expect(TokenKind::LeftParen));
    ZB_CHECK(expect(TokenKind::Select));
    Result<std::unique_ptr<SelectStatement>> select{std::make_unique<SelectStatement>()};
    ZB_CHECK(parse_select_into(**select));
    ZB_CHECK(expect(TokenKind::RightParen));
    return select;
}

}  // namespace zembrel::parser
