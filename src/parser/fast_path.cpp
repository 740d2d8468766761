// The two text recognizers (see fast_path.h). Every helper returns nullopt
// or false for "no match"; nothing here produces an error text.

#include "parser/fast_path.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <utility>

#include "parser/lexer.h"
#include "types/utf8.h"

namespace zembrel::parser {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_identifier_start(char c) { return is_letter(c) || c == '_'; }
bool is_identifier_byte(char c) { return is_identifier_start(c) || is_digit(c); }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The INSERT shape accepts a form feed as whitespace (as the lexer does); the
// SELECT shape does not.
bool is_insert_space(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }
bool is_select_space(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

void skip_insert_space(TextCursor& c) {
    while (!c.at_end() && is_insert_space(c.peek())) ++c.pos;
}
void skip_select_space(TextCursor& c) {
    while (!c.at_end() && is_select_space(c.peek())) ++c.pos;
}

// Keyword comparison shared by both shapes (keywords are given in lower case).
bool match_word(TextCursor& c, std::string_view keyword) {
    if (c.text.size() - c.pos < keyword.size()) return false;
    for (size_t i = 0; i < keyword.size(); ++i) {
        if (lower(c.text[c.pos + i]) != keyword[i]) return false;
    }
    size_t after = c.pos + keyword.size();
    if (after < c.text.size() && is_identifier_byte(c.text[after])) return false;
    c.pos = after;
    return true;
}

std::optional<std::string> identifier(TextCursor& c) {
    if (c.at_end() || !is_identifier_start(c.peek())) return std::nullopt;
    size_t start = c.pos;
    while (!c.at_end() && is_identifier_byte(c.peek())) ++c.pos;
    return std::string(c.text.substr(start, c.pos - start));
}

// Digits to a non-negative int64; a value above INT64_MAX declines.
std::optional<int64_t> digits_to_int(std::string_view digits) {
    int64_t value = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || ptr != digits.data() + digits.size()) return std::nullopt;
    return value;
}

// The run's float exactly as the lexer converts it (an out-of-range run is
// infinity when a nonzero digit stands before the point, else zero), so both
// roads build the same Value.
std::optional<double> digits_to_float(std::string_view run) {
    double value = 0;
    const char* first = run.data();
    const char* last = run.data() + run.size();
    auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::fixed);
    if (ec == std::errc::result_out_of_range) {
        bool large = false;
        for (const char* p = first; p < last && *p != '.'; ++p) large = large || *p != '0';
        return large ? std::numeric_limits<double>::infinity() : 0.0;
    }
    if (ec != std::errc() || ptr != last) return std::nullopt;
    return value;
}

// A quoted literal at the cursor (on the opening quote); doubled quotes
// stand for one. Bytes that are not UTF-8 are left to the full parser.
std::optional<Value> string_literal(TextCursor& c) {
    std::string value;
    size_t i = c.pos + 1;
    for (;;) {
        size_t quote = c.text.find('\'', i);
        if (quote == std::string_view::npos) return std::nullopt;
        value.append(c.text.substr(i, quote - i));
        if (quote + 1 < c.text.size() && c.text[quote + 1] == '\'') {
            value.push_back('\'');
            i = quote + 2;
            continue;
        }
        c.pos = quote + 1;
        break;
    }
    if (utf8_error(value)) return std::nullopt;
    return Value::text(std::move(value));
}

std::optional<Value> insert_value(TextCursor& c) {
    char first = c.peek();
    if (c.at_end()) return std::nullopt;
    if (first == '\'') return string_literal(c);
    if (first == '-') {
        ++c.pos;
        return fast_insert::parse_number(c, true);
    }
    if (is_digit(first)) return fast_insert::parse_number(c, false);
    if (is_letter(first)) {
        size_t start = c.pos;
        while (!c.at_end() && is_letter(c.peek())) ++c.pos;
        std::string word(c.text.substr(start, c.pos - start));
        for (char& ch : word) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 'a' + 'A' : ch);
        if (word == "NULL") return Value::null();
        if (word == "TRUE") return Value::boolean(true);
        if (word == "FALSE") return Value::boolean(false);
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

namespace fast_insert {

std::optional<Value> parse_number(TextCursor& c, bool negative) {
    size_t start = c.pos;
    bool has_point = false;
    bool has_digit = false;
    while (!c.at_end()) {
        char ch = c.peek();
        if (is_digit(ch)) {
            has_digit = true;
        } else if (ch == '.' && !has_point) {
            has_point = true;
        } else {
            break;
        }
        ++c.pos;
    }
    std::string_view run = c.text.substr(start, c.pos - start);
    if (!has_digit) {
        c.pos = start;
        return std::nullopt;
    }
    if (has_point) {
        auto value = digits_to_float(run);
        if (!value) return std::nullopt;
        return Value::floating(negative ? -*value : *value);
    }
    auto value = digits_to_int(run);
    if (!value) return std::nullopt;
    return Value::integer(negative ? -*value : *value);
}

std::optional<Statement> try_parse(std::string_view sql) {
    TextCursor c{sql, 0};
    skip_insert_space(c);
    if (!match_word(c, "insert")) return std::nullopt;
    skip_insert_space(c);
    if (!match_word(c, "into")) return std::nullopt;
    skip_insert_space(c);
    auto table = identifier(c);
    if (!table) return std::nullopt;
    skip_insert_space(c);
    if (c.peek() == '(') return std::nullopt;  // a column list
    if (!match_word(c, "values")) return std::nullopt;
    skip_insert_space(c);
    if (c.at_end() || c.peek() != '(') return std::nullopt;
    ++c.pos;
    std::vector<Value> row;
    for (;;) {
        skip_insert_space(c);
        auto value = insert_value(c);
        if (!value) return std::nullopt;
        row.push_back(std::move(*value));
        if (c.at_end()) return std::nullopt;
        char after = c.peek();
        ++c.pos;
        if (after == ')') break;
        if (after != ',') return std::nullopt;
    }
    skip_insert_space(c);
    if (!c.at_end() && c.peek() == ';') ++c.pos;
    skip_insert_space(c);
    if (!c.at_end()) return std::nullopt;  // a second row, a comment, anything else
    Insert insert;
    insert.table = std::move(*table);
    insert.rows.push_back(std::move(row));
    return Statement{std::move(insert)};
}

}  // namespace fast_insert

namespace fast_select {

std::optional<std::string> scan_identifier(TextCursor& cursor) { return identifier(cursor); }

bool match_keyword(TextCursor& cursor, std::string_view keyword) { return match_word(cursor, keyword); }

std::optional<ColumnRef> parse_column_ref(TextCursor& c) {
    auto table = identifier(c);
    if (!table) return std::nullopt;
    if (c.at_end() || c.peek() != '.') return std::nullopt;
    ++c.pos;
    auto column = identifier(c);
    if (!column) return std::nullopt;
    return ColumnRef{std::move(*column), std::move(*table)};
}

std::optional<Value> parse_integer(TextCursor& c) {
    bool negative = false;
    if (!c.at_end() && c.peek() == '-') {
        negative = true;
        ++c.pos;
    }
    size_t start = c.pos;
    while (!c.at_end() && is_digit(c.peek())) ++c.pos;
    if (c.pos == start) return std::nullopt;
    auto value = digits_to_int(c.text.substr(start, c.pos - start));
    if (!value) return std::nullopt;
    return Value::integer(negative ? -*value : *value);
}

std::vector<SelectItem> columns_to_select_items(std::vector<ColumnRef> columns) {
    std::vector<SelectItem> items;
    items.reserve(columns.size());
    for (ColumnRef& column : columns) items.push_back(SelectItem{std::move(column)});
    return items;
}

namespace {

// `q.a = q.b` after skipping; the right side is read by `right`.
template <class Right>
std::optional<Expr> equality(TextCursor& c, Right right) {
    skip_select_space(c);
    auto left = parse_column_ref(c);
    if (!left) return std::nullopt;
    skip_select_space(c);
    if (c.at_end() || c.peek() != '=') return std::nullopt;
    ++c.pos;
    skip_select_space(c);
    auto operand = right(c);
    if (!operand) return std::nullopt;
    return Expr{CompareExpr{std::move(*left), CompareOp::Eq, Operand{std::move(*operand)}}};
}

bool keyword_after_space(TextCursor& c, std::string_view keyword) {
    skip_select_space(c);
    return match_word(c, keyword);
}

}  // namespace

std::optional<Statement> try_parse(std::string_view sql) {
    TextCursor c{sql, 0};
    if (!keyword_after_space(c, "select")) return std::nullopt;
    skip_select_space(c);
    auto item = parse_column_ref(c);
    if (!item) return std::nullopt;
    if (!keyword_after_space(c, "from")) return std::nullopt;
    skip_select_space(c);
    auto first = identifier(c);
    if (!first) return std::nullopt;
    if (!keyword_after_space(c, "inner") || !keyword_after_space(c, "join")) return std::nullopt;
    skip_select_space(c);
    auto second = identifier(c);
    if (!second) return std::nullopt;
    if (!keyword_after_space(c, "on")) return std::nullopt;
    auto on = equality(c, parse_column_ref);
    if (!on) return std::nullopt;
    if (!keyword_after_space(c, "where")) return std::nullopt;
    auto where = equality(c, parse_integer);
    if (!where) return std::nullopt;
    skip_select_space(c);
    if (!c.at_end() && c.peek() == ';') ++c.pos;
    skip_select_space(c);
    if (!c.at_end()) return std::nullopt;

    std::vector<ColumnRef> columns;
    columns.push_back(std::move(*item));
    SelectStatement select;
    select.items = columns_to_select_items(std::move(columns));
    select.from = TableRef{std::move(*first), std::nullopt};
    select.joins.push_back(Join{TableRef{std::move(*second), std::nullopt}, JoinKind::Inner, std::move(*on)});
    select.where_clause = std::move(*where);
    return Statement{std::move(select)};
}

}  // namespace fast_select

namespace fast_point_select {

namespace {

// A name that lexes as an identifier: a keyword would not.
std::optional<std::string> plain_name(TextCursor& c) {
    auto name = identifier(c);
    if (!name || lexer::keyword_kind(*name)) return std::nullopt;
    return name;
}

std::optional<ColumnRef> column_ref(TextCursor& c) {
    auto first = plain_name(c);
    if (!first) return std::nullopt;
    if (c.peek() != '.') return ColumnRef{std::move(*first), std::nullopt};
    ++c.pos;
    auto column = plain_name(c);
    if (!column) return std::nullopt;
    return ColumnRef{std::move(*column), std::move(*first)};
}

std::optional<CompareOp> compare_op(TextCursor& c) {
    const char a = c.peek();
    const char b = c.pos + 1 < c.text.size() ? c.text[c.pos + 1] : '\0';
    auto take = [&](size_t n, CompareOp op) {
        c.pos += n;
        return std::optional<CompareOp>(op);
    };
    if (a == '=') return take(1, CompareOp::Eq);
    if (a == '!' && b == '=') return take(2, CompareOp::Ne);
    if (a == '<' && b == '>') return take(2, CompareOp::Ne);
    if (a == '<' && b == '=') return take(2, CompareOp::Le);
    if (a == '<') return take(1, CompareOp::Lt);
    if (a == '>' && b == '=') return take(2, CompareOp::Ge);
    if (a == '>') return take(1, CompareOp::Gt);
    return std::nullopt;
}

std::optional<Value> literal(TextCursor& c) {
    if (c.peek() == '\'') return string_literal(c);
    const bool negative = c.peek() == '-';
    if (negative) ++c.pos;
    // The lexer starts a number at a digit only ("-.5" is no number there).
    if (!is_digit(c.peek())) return std::nullopt;
    return fast_insert::parse_number(c, negative);
}

}  // namespace

std::optional<Statement> try_parse(std::string_view sql) {
    TextCursor c{sql, 0};
    skip_select_space(c);
    if (!match_word(c, "select")) return std::nullopt;
    skip_select_space(c);
    SelectStatement select;
    if (c.peek() == '*') {
        ++c.pos;
    } else {
        std::vector<ColumnRef> columns;
        for (;;) {
            auto column = column_ref(c);
            if (!column) return std::nullopt;
            columns.push_back(std::move(*column));
            skip_select_space(c);
            if (c.peek() != ',') break;
            ++c.pos;
            skip_select_space(c);
        }
        select.items = fast_select::columns_to_select_items(std::move(columns));
    }
    skip_select_space(c);
    if (!match_word(c, "from")) return std::nullopt;
    skip_select_space(c);
    auto table = plain_name(c);
    if (!table) return std::nullopt;
    skip_select_space(c);
    if (!match_word(c, "where")) return std::nullopt;
    skip_select_space(c);
    auto left = column_ref(c);
    if (!left) return std::nullopt;
    skip_select_space(c);
    auto op = compare_op(c);
    if (!op) return std::nullopt;
    skip_select_space(c);
    auto value = literal(c);
    if (!value) return std::nullopt;
    skip_select_space(c);
    if (match_word(c, "limit")) {
        skip_select_space(c);
        const size_t start = c.pos;
        while (is_digit(c.peek())) ++c.pos;
        auto limit = digits_to_int(c.text.substr(start, c.pos - start));
        if (!limit) return std::nullopt;
        select.limit = static_cast<uint64_t>(*limit);
        skip_select_space(c);
    }
    if (c.peek() == ';') ++c.pos;
    skip_select_space(c);
    if (!c.at_end()) return std::nullopt;

    select.from = TableRef{std::move(*table), std::nullopt};
    select.where_clause = Expr{CompareExpr{std::move(*left), *op, Operand{std::move(*value)}}};
    return Statement{std::move(select)};
}

}  // namespace fast_point_select

}  // namespace zembrel::parser
