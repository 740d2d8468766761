#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "parser/lexer.h"

using zembrel::parser::Token;
using zembrel::parser::TokenKind;
using zembrel::parser::token_kind_name;
using zembrel::parser::lexer::tokenize;

namespace {

// The printed forms of all tokens, joined by spaces, or "error: {message}".
std::string lex(std::string_view sql) {
    auto tokens = tokenize(sql);
    if (!tokens) return "error: " + tokens.error();
    std::string out;
    for (const Token& t : *tokens) {
        if (!out.empty()) out += ' ';
        out += t.printed();
    }
    return out;
}

struct Case {
    std::string sql;
    std::string expected;
};

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(lex(c.sql), c.expected) << "input: " << c.sql;
}

TEST(Lexer, TokensAndMessages) {
    run_cases({
        // White space, comments and operators.
        {"", "Eof"},
        {" \t\r\n\f ", "Eof"},
        {"-- only a comment", "Eof"},
        {"-- one\n  -- two\n", "Eof"},
        {"SELECT--x", "Select Eof"},
        {"a--b", "Identifier(\"a\") Eof"},
        {"a-b", "Identifier(\"a\") Minus Identifier(\"b\")"
                " Eof"},
        {"a - -1", "Identifier(\"a\") Minus Minus IntegerLiteral(1) Eof"},
        {"<> != <= >= < > = ==", "NotEqual NotEqual LessEqual GreaterEqual LessThan GreaterThan Equals Equals Equals Eof"},
        {"=<", "Equals LessThan Eof"},
        {"(),.;*?", "LeftParen RightParen Comma Dot Semicolon Asterisk Question Eof"},
        {"a\fb", "Identifier(\"a\") Identifier(\"b\") Eof"},
        {"x -- trailing\ny", "Identifier(\"x\") Identifier(\"y\") Eof"},
        // Numbers.
        {"0", "IntegerLiteral(0) Eof"},
        {"42", "IntegerLiteral(42) Eof"},
        {"9223372036854775807", "IntegerLiteral(9223372036854775807) Eof"},
        {"9223372036854775808", "error: invalid integer: number too large to fit in target type"},
        {"99999999999999999999999", "error: invalid integer: number too large to fit in target type"},
        {"2.5", "FloatLiteral(2.5) Eof"},
        {"7.", "FloatLiteral(7.0) Eof"},
        {"1.2.3", "FloatLiteral(1.2) Dot IntegerLiteral(3) Eof"},
        {".5", "Dot IntegerLiteral(5) Eof"},
        {"1_000", "IntegerLiteral(1) Identifier(\"_000\") Eof"},
        {"12abc", "IntegerLiteral(12) Identifier(\"abc\") Eof"},
        {"1e5", "IntegerLiteral(1) Identifier(\"e5\") Eof"},
        {"10000000000000000.0", "FloatLiteral(1e16) Eof"},
        {"0.0001", "FloatLiteral(0.0001) Eof"},
        {"0.00001", "FloatLiteral(1e-5) Eof"},
        {"0.1", "FloatLiteral(0.1) Eof"},
        {"000123", "IntegerLiteral(123) Eof"},
        // Beyond the double range: infinity, not an error.
        {std::string(400, '9') + ".5", "FloatLiteral(inf) Eof"},
        // Below the smallest subnormal: rounds to zero, not infinity.
        {"0." + std::string(400, '0') + "1", "FloatLiteral(0.0) Eof"},
        // A subnormal keeps its correctly rounded value.
        {"0." + std::string(323, '0') + "3", "FloatLiteral(5e-324) Eof"},
        // Words that are no keywords (the keyword table itself is the parser
        // tests': every statement form, the type synonyms).
        {"Users", "Identifier(\"Users\") Eof"},
        {"_x1", "Identifier(\"_x1\") Eof"},
        // Words that look like SQL but are no keywords here.
        {"merge policy primary key outer like distinct having offset",
         "Identifier(\"merge\") Identifier(\"policy\") Identifier(\"primary\") Identifier(\"key\") "
         "Identifier(\"outer\") Identifier(\"like\") Identifier(\"distinct\") Identifier(\"having\") "
         "Identifier(\"offset\") Eof"},
        // Longer than any keyword, and a keyword with a suffix.
        {"row_numbers selected", "Identifier(\"row_numbers\") Identifier(\"selected\") Eof"},
        // String literals.
        {"'it''s'", "StringLiteral(\"it's\") Eof"},
        {"''", "StringLiteral(\"\") Eof"},
        {"''''", "StringLiteral(\"'\") Eof"},
        {"'a\\b'", "StringLiteral(\"a\\\\b\") Eof"},
        {"'say \"hi\"'", "StringLiteral(\"say \\\"hi\\\"\") Eof"},
        {"'line\nbreak\ttab\r'", "StringLiteral(\"line\\nbreak\\ttab\\r\") Eof"},
        {std::string("'nul\0'", 6), "StringLiteral(\"nul\\0\") Eof"},
        {"'bell\x07'", "StringLiteral(\"bell\\u{7}\") Eof"},
        {"'caf\xC3\xA9'", "StringLiteral(\"caf\xC3\xA9\") Eof"},
        // Combining marks are written as code points wherever they stand.
        {"'e\xCC\x81'", "StringLiteral(\"e\\u{301}\") Eof"},
        {"'\xCC\x81x\xE2\x83\x9D'", "StringLiteral(\"\\u{301}x\\u{20dd}\") Eof"},
        {"'a'", "StringLiteral(\"a\") Eof"},
        {"'a''", "error: unterminated string"},
        {"'abc", "error: unterminated string"},
        {"'", "error: unterminated string"},
        {"'bad \xFF byte'", "error: invalid UTF-8 in string literal: invalid utf-8 sequence of 1 bytes from index 4"},
        {"'cut \xC3'", "error: invalid UTF-8 in string literal: incomplete utf-8 byte sequence from index 4"},
        // Unexpected characters.
        {"!", "error: unexpected character: '!'"},
        {"a ! b", "error: unexpected character: '!'"},
        {"\"a\"", "error: unexpected character: '\"'"},
        {"`a`", "error: unexpected character: '`'"},
        {"a + 1", "error: unexpected character: '+'"},
        {"a / 1", "error: unexpected character: '/'"},
        {"a % 1", "error: unexpected character: '%'"},
        {":a", "error: unexpected character: ':'"},
        {"a\vb", "error: unexpected character: '\v'"},
        {"caf\xC3\xA9", "error: unexpected character: '\xC3\xA9'"},
        {"\xE2\x82\xAC", "error: unexpected character: '\xE2\x82\xAC'"},
        // A byte that starts no UTF-8 character is shown as U+FFFD.
        {"\xFF", "error: unexpected character: '\xEF\xBF\xBD'"},
        {"\xC3", "error: unexpected character: '\xEF\xBF\xBD'"},
        // The first error wins, even after good tokens.
        {"SELECT 'x' #", "error: unexpected character: '#'"},
    });
}

}  // namespace
