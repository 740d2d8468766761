// Recursive-descent parser: one SQL statement to one Statement tree.
//
// Pure function of the text; any number of threads may parse at once, each
// with its own Parser. Every error is of kind Parse and carries the exact
// user-visible message; no partial tree is ever returned.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "parser/ast.h"
#include "parser/token.h"
#include "types/error.h"

namespace zembrel::parser {

// Parses exactly one statement, then one optional ";". After the statement
// the next token must be ";" or the end of the text ("expected Eof, got {}"
// otherwise); anything after the ";" is not examined.
Result<Statement> parse_sql(std::string_view sql);
// The same through the lexer and the recursive-descent parser alone,
// without the text fast path (which builds the very same tree or declines).
Result<Statement> parse_sql_tokens(std::string_view sql);

// Parenthesised conditions and subqueries nest at most this deep (the outer
// SELECT counts as one level); deeper text fails with a Parse error instead of
// exhausting the stack. At the limit an optimised build needs roughly 600 KiB
// of stack, a sanitizer build about 2 MiB.
inline constexpr size_t kMaxNestingDepth = 200;
// A condition tree (AND/OR chains count one level per operator) is at most this
// deep, so that releasing or walking it recursively stays within the stack.
inline constexpr size_t kMaxConditionDepth = 1000;

// Parsing state over one token list. The statement rules live in parser.cpp,
// the SELECT body and conditions in select_parser.cpp.
class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    // One statement chosen by its first token, then the end rule above.
    Result<Statement> parse_statement();

    // Token primitives. Reading at or past the end yields Eof.
    const Token& peek() const;
    const Token& peek_at(size_t ahead) const;
    Token advance();
    bool next_is(TokenKind kind) const { return peek().kind == kind; }
    // Advances; fails with "expected {}, got {}" unless the token read equals `wanted`.
    Status expect(const Token& wanted);
    Status expect(TokenKind wanted) { return expect(Token::of(wanted)); }
    // Advances; an Identifier yields its text, anything else fails.
    Result<std::string> expect_identifier();

    Result<Value> parse_value_literal();
    Result<DataType> parse_data_type();
    Result<ColumnDef> parse_column_def();

    // SELECT body after the SELECT keyword, and conditions.
    Result<SelectStatement> parse_select();
    Result<Expr> parse_or_expr();
    Result<Expr> parse_and_expr();
    Result<Expr> parse_not_expr();
    Result<Expr> parse_predicate();
    Result<std::unique_ptr<SelectStatement>> parse_subquery();
    Result<ColumnRef> parse_column_ref();
    Result<TableRef> parse_table_ref();
    Result<WindowSpec> parse_window_spec();
    Result<FrameBound> parse_frame_bound();

private:
    struct ColumnOptions {
        std::optional<DefaultValue> default_value;
        bool nullable = true;
        bool hash = false;
    };
    Result<ColumnOptions> parse_column_constraints();

    Result<Statement> parse_insert();
    Result<Statement> parse_update();
    Result<Statement> parse_delete();
    Result<Statement> parse_create();
    Result<Statement> parse_drop();
    Result<Statement> parse_truncate();
    Result<Statement> parse_alter();
    Status skip_transaction_word(bool allow_work);
    Result<std::optional<Expr>> parse_optional_where();

    Status parse_select_into(SelectStatement& select);
    Status parse_select_list(SelectStatement& select, size_t& depth);
    Status parse_from_and_joins(SelectStatement& select, size_t& depth);
    Status parse_select_tail(SelectStatement& select);
    Status parse_condition_into(Expr& out);
    Result<SelectItem> parse_select_item();
    Result<std::vector<OrderByItem>> parse_order_items();
    Result<std::vector<ColumnRef>> parse_column_ref_list();
    Result<Operand> parse_operand();
    Result<Expr> parse_exists();
    Result<Expr> parse_column_predicate();

    // Nesting guard for parentheses and subqueries.
    Status enter_nesting();
    void leave_nesting() { --nesting_; }

    std::vector<Token> tokens_;
    size_t pos_ = 0;
    size_t nesting_ = 0;
    // Depth of the condition or SELECT tree most recently returned by a
    // condition rule or parse_select (a leaf predicate is 1).
    size_t last_depth_ = 0;
};

}  // namespace zembrel::parser
