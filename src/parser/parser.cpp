// Statement dispatch, token primitives, literals, column types and the
// grammar of every statement other than the body of a SELECT.
#include "parser/parser.h"

#include "parser/fast_path.h"
#include "parser/lexer.h"
#include "parser/rule_support.h"
#include "types/text_format.h"
#include "types/utf8.h"

namespace zembrel::parser {

using detail::ascii_iequals;
using detail::got;

namespace {

const Token kEof = Token::of(TokenKind::Eof);

std::string ascii_lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

}  // namespace

Result<Statement> parse_sql(std::string_view sql) {
    // The commonest query shape builds its tree straight from the text.
    if (auto statement = fast_point_select::try_parse(sql)) return std::move(*statement);
    return parse_sql_tokens(sql);
}

Result<Statement> parse_sql_tokens(std::string_view sql) {
    auto tokens = lexer::tokenize(sql);
    if (!tokens) return parse_error(std::move(tokens.error()));
    Parser parser(std::move(*tokens));
    return parser.parse_statement();
}

// ---------------------------------------------------------------------------
// Token primitives

const Token& Parser::peek() const { return peek_at(0); }

const Token& Parser::peek_at(size_t ahead) const {
    size_t i = pos_ + ahead;
    return i < tokens_.size() ? tokens_[i] : kEof;
}

Token Parser::advance() {
    Token t = peek();
    ++pos_;
    return t;
}

Status Parser::expect(const Token& wanted) {
    const Token& t = peek();
    ++pos_;
    if (t == wanted) return {};
    return parse_error("expected " + wanted.printed() + ", got " + t.printed());
}

Result<std::string> Parser::expect_identifier() {
    Token t = advance();
    if (t.kind == TokenKind::Identifier) return std::move(t.text);
    return got("expected identifier", t);
}

Status Parser::enter_nesting() {
    if (nesting_ >= kMaxNestingDepth) {
        return parse_error(format("statement nested too deeply: more than {} levels of parentheses or subqueries",
                                  kMaxNestingDepth));
    }
    ++nesting_;
    return {};
}

// ---------------------------------------------------------------------------
// Statements

Result<Statement> Parser::parse_statement() {
    Result<Statement> stmt;
    switch (peek().kind) {
        case TokenKind::Select: {
            ZB_CHECK(expect(TokenKind::Select));
            ZB_TRY(select, parse_select());
            stmt = Statement{std::move(select)};
            break;
        }
        case TokenKind::Explain: {
            advance();
            ZB_CHECK(expect(TokenKind::Select));
            ZB_TRY(select, parse_select());
            stmt = Statement{Explain{std::move(select)}};
            break;
        }
        case TokenKind::Insert: stmt = parse_insert(); break;
        case TokenKind::Create: stmt = parse_create(); break;
        case TokenKind::Update: stmt = parse_update(); break;
        case TokenKind::Delete: stmt = parse_delete(); break;
        case TokenKind::Alter: stmt = parse_alter(); break;
        case TokenKind::Drop: stmt = parse_drop(); break;
        case TokenKind::Truncate: stmt = parse_truncate(); break;
        case TokenKind::Begin:
            advance();
            ZB_CHECK(skip_transaction_word(false));
            stmt = Statement{Begin{}};
            break;
        case TokenKind::Commit:
            advance();
            ZB_CHECK(skip_transaction_word(true));
            stmt = Statement{Commit{}};
            break;
        case TokenKind::Rollback:
            advance();
            ZB_CHECK(skip_transaction_word(true));
            stmt = Statement{Rollback{}};
            break;
        default: return parse_error("unexpected token: " + peek().printed());
    }
    if (!stmt) return stmt;
    // A complete statement ends at ";" or at the end of the text: stray words
    // after it would otherwise be silently ignored ("DELETE FROM t WHER ...").
    if (next_is(TokenKind::Semicolon)) {
        advance();
    } else if (!next_is(TokenKind::Eof)) {
        return got("expected Eof", peek());
    }
    return stmt;
}

// BEGIN TRANSACTION, COMMIT WORK and the like: the word is noise.
Status Parser::skip_transaction_word(bool allow_work) {
    const Token& t = peek();
    if (t.kind == TokenKind::Identifier &&
        (ascii_iequals(t.text, "TRANSACTION") || (allow_work && ascii_iequals(t.text, "WORK")))) {
        advance();
    }
    return {};
}

Result<Statement> Parser::parse_insert() {
    ZB_CHECK(expect(TokenKind::Insert));
    ZB_CHECK(expect(TokenKind::Into));
    Insert insert;
    ZB_TRY(table, expect_identifier());
    insert.table = std::move(table);
    if (next_is(TokenKind::LeftParen)) {
        advance();
        std::vector<std::string> columns;
        do {
            if (!columns.empty()) advance();
            ZB_TRY(name, expect_identifier());
            columns.push_back(std::move(name));
        } while (next_is(TokenKind::Comma));
        ZB_CHECK(expect(TokenKind::RightParen));
        insert.columns = std::move(columns);
    }
    ZB_CHECK(expect(TokenKind::Values));
    do {
        if (!insert.rows.empty()) advance();
        ZB_CHECK(expect(TokenKind::LeftParen));
        std::vector<Value> row;
        do {
            if (!row.empty()) advance();
            ZB_TRY(value, parse_value_literal());
            row.push_back(std::move(value));
        } while (next_is(TokenKind::Comma));
        ZB_CHECK(expect(TokenKind::RightParen));
        insert.rows.push_back(std::move(row));
    } while (next_is(TokenKind::Comma));
    return Statement{std::move(insert)};
}

Result<std::optional<Expr>> Parser::parse_optional_where() {
    if (!next_is(TokenKind::Where)) return std::optional<Expr>();
    advance();
    ZB_TRY(cond, parse_or_expr());
    return std::optional<Expr>(std::move(cond));
}

Result<Statement> Parser::parse_update() {
    ZB_CHECK(expect(TokenKind::Update));
    Update update;
    ZB_TRY(table, expect_identifier());
    update.table = std::move(table);
    ZB_CHECK(expect(TokenKind::Set));
    do {
        if (!update.assignments.empty()) advance();
        ZB_TRY(column, expect_identifier());
        ZB_CHECK(expect(TokenKind::Equals));
        ZB_TRY(value, parse_value_literal());
        update.assignments.push_back(Assignment{std::move(column), std::move(value)});
    } while (next_is(TokenKind::Comma));
    ZB_TRY(where, parse_optional_where());
    update.where_clause = std::move(where);
    return Statement{std::move(update)};
}

Result<Statement> Parser::parse_delete() {
    ZB_CHECK(expect(TokenKind::Delete));
    ZB_CHECK(expect(TokenKind::From));
    Delete del;
    ZB_TRY(table, expect_identifier());
    del.table = std::move(table);
    ZB_TRY(where, parse_optional_where());
    del.where_clause = std::move(where);
    return Statement{std::move(del)};
}

Result<Statement> Parser::parse_create() {
    ZB_CHECK(expect(TokenKind::Create));
    bool unique = false;
    if (next_is(TokenKind::Unique)) {
        advance();
        unique = true;
    }
    if (next_is(TokenKind::Table)) {
        // UNIQUE TABLE is accepted and means nothing more than TABLE.
        ZB_CHECK(expect(TokenKind::Table));
        CreateTable create;
        ZB_TRY(name, expect_identifier());
        create.name = std::move(name);
        ZB_CHECK(expect(TokenKind::LeftParen));
        do {
            if (!create.columns.empty()) advance();
            ZB_TRY(column, parse_column_def());
            create.columns.push_back(std::move(column));
        } while (next_is(TokenKind::Comma));
        ZB_CHECK(expect(TokenKind::RightParen));
        return Statement{std::move(create)};
    }
    if (next_is(TokenKind::Index)) {
        ZB_CHECK(expect(TokenKind::Index));
        CreateIndex create;
        create.unique = unique;
        ZB_TRY(name, expect_identifier());
        create.name = std::move(name);
        ZB_CHECK(expect(TokenKind::On));
        ZB_TRY(table, expect_identifier());
        create.table = std::move(table);
        ZB_CHECK(expect(TokenKind::LeftParen));
        do {
            if (!create.columns.empty()) advance();
            ZB_TRY(column, expect_identifier());
            create.columns.push_back(std::move(column));
        } while (next_is(TokenKind::Comma));
        ZB_CHECK(expect(TokenKind::RightParen));
        return Statement{std::move(create)};
    }
    return got("expected TABLE or INDEX after CREATE", peek());
}

Result<Statement> Parser::parse_drop() {
    ZB_CHECK(expect(TokenKind::Drop));
    if (next_is(TokenKind::Table)) {
        advance();
        ZB_TRY(name, expect_identifier());
        return Statement{DropTable{std::move(name)}};
    }
    if (next_is(TokenKind::Index)) {
        advance();
        ZB_TRY(name, expect_identifier());
        return Statement{DropIndex{std::move(name)}};
    }
    return got("expected TABLE or INDEX after DROP", peek());
}

Result<Statement> Parser::parse_truncate() {
    ZB_CHECK(expect(TokenKind::Truncate));
    ZB_CHECK(expect(TokenKind::Table));
    ZB_TRY(table, expect_identifier());
    return Statement{Truncate{std::move(table)}};
}

Result<Statement> Parser::parse_alter() {
    ZB_CHECK(expect(TokenKind::Alter));
    ZB_CHECK(expect(TokenKind::Table));
    ZB_TRY(table, expect_identifier());
    Token action = advance();
    auto skip_column_word = [this] {
        if (next_is(TokenKind::Column)) advance();
    };
    AlterAction result;
    switch (action.kind) {
        case TokenKind::Add: {
            skip_column_word();
            ZB_TRY(def, parse_column_def());
            result.node = AddColumn{std::move(def)};
            break;
        }
        case TokenKind::Drop: {
            skip_column_word();
            ZB_TRY(name, expect_identifier());
            result.node = DropColumn{std::move(name)};
            break;
        }
        case TokenKind::Modify: {
            skip_column_word();
            ZB_TRY(def, parse_column_def());
            result.node = ModifyColumn{std::move(def)};
            break;
        }
        case TokenKind::Set: {
            // MERGE and POLICY are no keywords; they are matched by their text.
            for (std::string_view word : {"merge", "policy"}) {
                ZB_TRY(name, expect_identifier());
                if (!ascii_iequals(name, word)) {
                    return parse_error("expected SET MERGE POLICY, got " + quoted_debug_text_all_marks(name));
                }
            }
            Token policy = advance();
            if (policy.kind == TokenKind::Default) {
                result.node = SetMergePolicy{std::nullopt};
            } else if (policy.kind == TokenKind::Identifier || policy.kind == TokenKind::StringLiteral) {
                result.node = SetMergePolicy{ascii_lower(std::move(policy.text))};
            } else {
                return got("expected merge policy (lww, error, field_merge, manual or DEFAULT)", policy);
            }
            break;
        }
        default: return got("expected ADD, DROP, MODIFY or SET MERGE POLICY", action);
    }
    return Statement{AlterTable{std::move(table), std::move(result)}};
}

// ---------------------------------------------------------------------------
// Column definitions

Result<ColumnDef> Parser::parse_column_def() {
    ZB_TRY(name, expect_identifier());
    ZB_TRY(type, parse_data_type());
    ZB_TRY(options, parse_column_constraints());
    return ColumnDef{std::move(name), type, std::move(options.default_value), options.nullable, options.hash};
}

Result<DataType> Parser::parse_data_type() {
    Token t = advance();
    switch (t.kind) {
        case TokenKind::Int: return DataType::of(DataTypeKind::Int);
        case TokenKind::Text: return DataType::of(DataTypeKind::Text);
        case TokenKind::Float: return DataType::of(DataTypeKind::Float);
        case TokenKind::Bool: return DataType::of(DataTypeKind::Bool);
        case TokenKind::Pk: return DataType::of(DataTypeKind::Pk);
        case TokenKind::Date: return DataType::of(DataTypeKind::Date);
        case TokenKind::DateTime: return DataType::of(DataTypeKind::DateTime);
        case TokenKind::Str: {
            if (!next_is(TokenKind::LeftParen)) return DataType::str(255);
            advance();
            Token size = advance();
            if (size.kind != TokenKind::IntegerLiteral) return got("expected size", size);
            if (size.int_value < 0 || size.int_value > 8000) {
                return parse_error(format("STRING size must be 0-8000, got {}", size.int_value));
            }
            ZB_CHECK(expect(TokenKind::RightParen));
            return DataType::str(static_cast<uint16_t>(size.int_value));
        }
        default: return got("expected data type", t);
    }
}

Result<Parser::ColumnOptions> Parser::parse_column_constraints() {
    ColumnOptions options;
    while (true) {
        switch (peek().kind) {
            case TokenKind::Default: {
                advance();
                ZB_CHECK(expect(TokenKind::LeftParen));
                if (next_is(TokenKind::Today)) {
                    advance();
                    ZB_CHECK(expect(TokenKind::RightParen));
                    options.default_value = DefaultValue::today();
                } else {
                    ZB_TRY(value, parse_value_literal());
                    ZB_CHECK(expect(TokenKind::RightParen));
                    options.default_value = DefaultValue::of(std::move(value));
                }
                break;
            }
            case TokenKind::Hash:
                advance();
                options.hash = true;
                break;
            case TokenKind::Not:
                advance();
                ZB_CHECK(expect(TokenKind::Null));
                options.nullable = false;
                break;
            case TokenKind::Null:
                advance();
                options.nullable = true;
                break;
            default: return options;
        }
    }
}

// ---------------------------------------------------------------------------
// Literals

Result<Value> Parser::parse_value_literal() {
    Token t = advance();
    switch (t.kind) {
        case TokenKind::IntegerLiteral: {
            // Catch the two common slips of unquoted dates and arithmetic with
            // a message that says what to write instead.
            bool minus_int = next_is(TokenKind::Minus) && peek_at(1).kind == TokenKind::IntegerLiteral;
            if (minus_int && peek_at(2).kind == TokenKind::Minus && peek_at(3).kind == TokenKind::IntegerLiteral) {
                return parse_error(format(
                    "unquoted date near {}-\xE2\x80\xA6: dates go in single quotes, e.g. '2026-09-03'", t.int_value));
            }
            if (minus_int) {
                return parse_error(
                    format("arithmetic is not supported near {} - \xE2\x80\xA6: write the final value", t.int_value));
            }
            return Value::integer(t.int_value);
        }
        case TokenKind::FloatLiteral: return Value::floating(t.float_value);
        case TokenKind::StringLiteral: return Value::text(std::move(t.text));
        case TokenKind::True: return Value::boolean(true);
        case TokenKind::False: return Value::boolean(false);
        case TokenKind::Null: return Value::null();
        case TokenKind::Minus: {
            Token n = advance();
            // The lexer's integers are never negative, so negation cannot overflow.
            if (n.kind == TokenKind::IntegerLiteral) return Value::integer(-n.int_value);
            if (n.kind == TokenKind::FloatLiteral) return Value::floating(-n.float_value);
            return got("expected number after '-'", n);
        }
        default: return got("expected value", t);
    }
}

}  // namespace zembrel::parser
