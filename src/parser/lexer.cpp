#include "parser/lexer.h"

#include <array>
#include <charconv>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <system_error>
#include <vector>

#include "types/utf8.h"

namespace zembrel::parser::lexer {

namespace {

struct Keyword {
    std::string_view word;  // upper case
    TokenKind kind;
};

// Longest keyword is ROW_NUMBER; longer words are identifiers without a lookup.
constexpr size_t kMaxKeywordLength = 10;

constexpr Keyword kKeywords[] = {
    {"SELECT", TokenKind::Select},       {"FROM", TokenKind::From},
    {"INSERT", TokenKind::Insert},       {"INTO", TokenKind::Into},
    {"VALUES", TokenKind::Values},       {"CREATE", TokenKind::Create},
    {"TABLE", TokenKind::Table},         {"INDEX", TokenKind::Index},
    {"UNIQUE", TokenKind::Unique},       {"DEFAULT", TokenKind::Default},
    {"TODAY", TokenKind::Today},         {"WHERE", TokenKind::Where},
    {"GROUP", TokenKind::Group},         {"EXISTS", TokenKind::Exists},
    {"IN", TokenKind::In},               {"UPDATE", TokenKind::Update},
    {"DELETE", TokenKind::Delete},       {"SET", TokenKind::Set},
    {"ORDER", TokenKind::Order},         {"BY", TokenKind::By},
    {"LIMIT", TokenKind::Limit},         {"COUNT", TokenKind::Count},
    {"SUM", TokenKind::Sum},             {"MIN", TokenKind::Min},
    {"MAX", TokenKind::Max},             {"AVG", TokenKind::Avg},
    {"ROW_NUMBER", TokenKind::RowNumber}, {"RANK", TokenKind::Rank},
    {"OVER", TokenKind::Over},           {"PARTITION", TokenKind::Partition},
    {"ROWS", TokenKind::Rows},           {"BETWEEN", TokenKind::Between},
    {"UNBOUNDED", TokenKind::Unbounded}, {"PRECEDING", TokenKind::Preceding},
    {"FOLLOWING", TokenKind::Following}, {"CURRENT", TokenKind::Current},
    {"ROW", TokenKind::Row},             {"ASC", TokenKind::Asc},
    {"DESC", TokenKind::Desc},           {"AND", TokenKind::And},
    {"OR", TokenKind::Or},               {"IS", TokenKind::Is},
    {"JOIN", TokenKind::Join},           {"INNER", TokenKind::Inner},
    {"LEFT", TokenKind::Left},           {"RIGHT", TokenKind::Right},
    {"ON", TokenKind::On},               {"AS", TokenKind::As},
    {"INT", TokenKind::Int},             {"INTEGER", TokenKind::Int},
    {"TEXT", TokenKind::Text},           {"VARCHAR", TokenKind::Text},
    {"FLOAT", TokenKind::Float},         {"REAL", TokenKind::Float},
    {"DOUBLE", TokenKind::Float},        {"BOOL", TokenKind::Bool},
    {"BOOLEAN", TokenKind::Bool},        {"PK", TokenKind::Pk},
    {"DATE", TokenKind::Date},           {"DATETIME", TokenKind::DateTime},
    {"STRING", TokenKind::Str},          {"HASH", TokenKind::Hash},
    {"NOT", TokenKind::Not},             {"BEGIN", TokenKind::Begin},
    {"COMMIT", TokenKind::Commit},       {"ROLLBACK", TokenKind::Rollback},
    {"EXPLAIN", TokenKind::Explain},     {"ALTER", TokenKind::Alter},
    {"ADD", TokenKind::Add},             {"DROP", TokenKind::Drop},
    {"MODIFY", TokenKind::Modify},       {"COLUMN", TokenKind::Column},
    {"TRUNCATE", TokenKind::Truncate},   {"NULL", TokenKind::Null},
    {"TRUE", TokenKind::True},           {"FALSE", TokenKind::False},
};
static_assert(std::size(kKeywords) == 76, "71 keyword kinds and 5 synonyms");

bool is_whitespace(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_';
}


// The character that starts at p, whole; a byte that starts no valid UTF-8
// sequence is shown as the replacement character so the message stays UTF-8.
std::string_view character_at(std::string_view sql, size_t p) {
    auto lead = static_cast<unsigned char>(sql[p]);
    size_t len = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (len == 0 || p + len > sql.size() || utf8_error(sql.substr(p, len))) return "\xEF\xBF\xBD";
    return sql.substr(p, len);
}

std::string unexpected_character(std::string_view sql, size_t p) {
    std::string msg = "unexpected character: '";
    msg += character_at(sql, p);
    msg += '\'';
    return msg;
}

using LexResult = std::expected<Token, std::string>;

// Digits with at most one point; p is on the first digit and ends after the run.
LexResult lex_number(std::string_view sql, size_t& p) {
    size_t start = p;
    bool has_point = false;
    while (p < sql.size()) {
        char c = sql[p];
        if (is_digit(c)) {
            ++p;
        } else if (c == '.' && !has_point) {
            has_point = true;
            ++p;
        } else {
            break;
        }
    }
    const char* first = sql.data() + start;
    const char* last = sql.data() + p;
    if (has_point) {
        double value = 0;
        auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::fixed);
        if (ec == std::errc::result_out_of_range) {
            // Reported alike for overflow and for a value that rounds to zero:
            // a nonzero digit before the point means the former.
            bool large = false;
            for (const char* c = first; c < last && *c != '.'; ++c) large = large || *c != '0';
            value = large ? std::numeric_limits<double>::infinity() : 0.0;
        } else if (ec != std::errc() || ptr != last) {
            return std::unexpected("invalid float: invalid float literal");
        }
        return Token::floating(value);
    }
    int64_t value = 0;
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range) {
        return std::unexpected("invalid integer: number too large to fit in target type");
    }
    if (ec != std::errc() || ptr != last) return std::unexpected("invalid integer: invalid digit found in string");
    return Token::integer(value);
}

// p is on the opening quote and ends after the closing one.
LexResult lex_string(std::string_view sql, size_t& p) {
    std::string value;
    size_t i = p + 1;
    while (true) {
        size_t quote = sql.find('\'', i);
        if (quote == std::string_view::npos) return std::unexpected("unterminated string");
        value.append(sql.substr(i, quote - i));
        if (quote + 1 < sql.size() && sql[quote + 1] == '\'') {
            value.push_back('\'');
            i = quote + 2;
            continue;
        }
        p = quote + 1;
        break;
    }
    if (auto bad = utf8_error(value)) return std::unexpected("invalid UTF-8 in string literal: " + *bad);
    return Token::string_literal(std::move(value));
}

Token lex_word(std::string_view sql, size_t& p) {
    size_t start = p;
    while (p < sql.size() && is_word_byte(sql[p])) ++p;
    std::string_view word = sql.substr(start, p - start);
    if (auto kind = keyword_kind(word)) return Token::of(*kind);
    return Token::identifier(std::string(word));
}

std::optional<TokenKind> single_byte_kind(char c) {
    switch (c) {
        case '(': return TokenKind::LeftParen;
        case ')': return TokenKind::RightParen;
        case '*': return TokenKind::Asterisk;
        case ',': return TokenKind::Comma;
        case '.': return TokenKind::Dot;
        case ';': return TokenKind::Semicolon;
        case '=': return TokenKind::Equals;
        case '?': return TokenKind::Question;
        default: return std::nullopt;
    }
}

}  // namespace

std::optional<TokenKind> keyword_kind(std::string_view word) {
    if (word.empty() || word.size() > kMaxKeywordLength) return std::nullopt;
    char upper[kMaxKeywordLength];
    for (size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    // Only the keywords of the word's length and first letter are compared.
    static const std::array<std::vector<Keyword>, kMaxKeywordLength + 1> by_length = [] {
        std::array<std::vector<Keyword>, kMaxKeywordLength + 1> table;
        for (const Keyword& k : kKeywords) table[k.word.size()].push_back(k);
        return table;
    }();
    for (const Keyword& k : by_length[word.size()]) {
        if (k.word[0] == upper[0] && std::memcmp(k.word.data(), upper, word.size()) == 0) return k.kind;
    }
    return std::nullopt;
}

std::expected<std::vector<Token>, std::string> tokenize(std::string_view sql) {
    std::vector<Token> tokens;
    size_t p = 0;
    const size_t n = sql.size();
    auto next_is = [&](char c) { return p + 1 < n && sql[p + 1] == c; };
    while (true) {
        while (p < n && is_whitespace(sql[p])) ++p;
        if (p >= n) break;
        char c = sql[p];
        if (c == '-' && next_is('-')) {
            size_t lf = sql.find('\n', p);
            p = lf == std::string_view::npos ? n : lf;
            continue;
        }
        if (c == '-') {
            tokens.push_back(Token::of(TokenKind::Minus));
            ++p;
        } else if (c == '!') {
            if (!next_is('=')) return std::unexpected(unexpected_character(sql, p));
            tokens.push_back(Token::of(TokenKind::NotEqual));
            p += 2;
        } else if (c == '\'') {
            auto t = lex_string(sql, p);
            if (!t) return std::unexpected(std::move(t.error()));
            tokens.push_back(std::move(*t));
        } else if (auto kind = single_byte_kind(c)) {
            tokens.push_back(Token::of(*kind));
            ++p;
        } else if (c == '<') {
            if (next_is('>') || next_is('=')) {
                tokens.push_back(Token::of(next_is('>') ? TokenKind::NotEqual : TokenKind::LessEqual));
                p += 2;
            } else {
                tokens.push_back(Token::of(TokenKind::LessThan));
                ++p;
            }
        } else if (c == '>') {
            if (next_is('=')) {
                tokens.push_back(Token::of(TokenKind::GreaterEqual));
                p += 2;
            } else {
                tokens.push_back(Token::of(TokenKind::GreaterThan));
                ++p;
            }
        } else if (is_digit(c)) {
            auto t = lex_number(sql, p);
            if (!t) return std::unexpected(std::move(t.error()));
            tokens.push_back(std::move(*t));
        } else if (is_word_byte(c)) {
            tokens.push_back(lex_word(sql, p));
        } else {
            return std::unexpected(unexpected_character(sql, p));
        }
    }
    tokens.push_back(Token::of(TokenKind::Eof));
    return tokens;
}

}  // namespace zembrel::parser::lexer
