// Lexical tokens of SQL text.
//
// The kind numbers are fixed: the printed kind name is the user-visible text of
// every parse error ("expected RightParen, got Comma"), so the names below are
// part of the interface, not just identifiers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zembrel::parser {

enum class TokenKind : uint8_t {
    Select = 0,
    From = 1,
    Insert = 2,
    Into = 3,
    Values = 4,
    Create = 5,
    Table = 6,
    Index = 7,
    Unique = 8,
    Default = 9,
    Today = 10,
    Where = 11,
    Group = 12,
    Exists = 13,
    In = 14,
    Update = 15,
    Delete = 16,
    Set = 17,
    Order = 18,
    By = 19,
    Limit = 20,
    Count = 21,
    Sum = 22,
    Min = 23,
    Max = 24,
    Avg = 25,
    RowNumber = 26,
    Rank = 27,
    Over = 28,
    Partition = 29,
    Rows = 30,
    Between = 31,
    Unbounded = 32,
    Preceding = 33,
    Following = 34,
    Current = 35,
    Row = 36,
    Asc = 37,
    Desc = 38,
    And = 39,
    Or = 40,
    Is = 41,
    Join = 42,
    Inner = 43,
    Left = 44,
    Right = 45,
    On = 46,
    As = 47,
    Int = 48,
    Text = 49,
    Float = 50,
    Bool = 51,
    Pk = 52,
    Date = 53,
    DateTime = 54,
    Str = 55,
    Hash = 56,
    Not = 57,
    Begin = 58,
    Commit = 59,
    Rollback = 60,
    Explain = 61,
    Alter = 62,
    Add = 63,
    Drop = 64,
    Modify = 65,
    Column = 66,
    Truncate = 67,
    Null = 68,
    True = 69,
    False = 70,
    Identifier = 71,      // payload: text as written
    IntegerLiteral = 72,  // payload: int_value
    FloatLiteral = 73,    // payload: float_value
    StringLiteral = 74,   // payload: text, quotes removed, '' folded to '
    Comma = 75,
    Semicolon = 76,
    LeftParen = 77,
    RightParen = 78,
    Asterisk = 79,
    Minus = 80,
    Dot = 81,
    Question = 82,
    Equals = 83,
    LessThan = 84,
    GreaterThan = 85,
    LessEqual = 86,
    GreaterEqual = 87,
    NotEqual = 88,
    Eof = 89,
};

inline constexpr int kTokenKindCount = 90;

// The kind's printed name: "Select", "RowNumber", "Eof", ...
std::string_view token_kind_name(TokenKind kind);

// One token. Only the payload field of its kind is meaningful; the others keep
// their zero values so that copies and comparisons stay cheap and defined.
struct Token {
    TokenKind kind = TokenKind::Eof;
    std::string text;       // Identifier, StringLiteral
    int64_t int_value = 0;  // IntegerLiteral
    double float_value = 0; // FloatLiteral

    static Token of(TokenKind k) { return Token{k, {}, 0, 0}; }
    static Token identifier(std::string s) { return Token{TokenKind::Identifier, std::move(s), 0, 0}; }
    static Token string_literal(std::string s) { return Token{TokenKind::StringLiteral, std::move(s), 0, 0}; }
    static Token integer(int64_t v) { return Token{TokenKind::IntegerLiteral, {}, v, 0}; }
    static Token floating(double v) { return Token{TokenKind::FloatLiteral, {}, 0, v}; }

    // Same kind and, for payload kinds, the same payload (floats by IEEE ==).
    bool operator==(const Token& o) const;

    // The printed form used in parse errors: Comma, Identifier("users"),
    // StringLiteral("it's"), IntegerLiteral(42), FloatLiteral(7.0).
    std::string printed() const;
};

}  // namespace zembrel::parser
