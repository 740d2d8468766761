// Text fast paths: recognizers that read a statement straight from its
// text, without the lexer and the recursive-descent parser, for the two
// shapes shared handles see most.
//
//   fast_insert  INSERT INTO t VALUES (v, ...)    one row of literals, no column list
//   fast_select  SELECT q.c FROM t1 INNER JOIN t2 ON q.l = q.r WHERE q.w = n
//
// Contract: a recognizer either builds exactly the Statement that
// parse_sql builds for the same text, or declines (nullopt) and leaves the
// text to parse_sql; it never reports an error. Two differences are kept on
// purpose: names are not checked against the keyword list (a table named
// `select` is taken as a name, where parse_sql refuses it), and an INSERT
// value "-.5" reads as Float -0.5 (parse_sql refuses a '-' before '.').
//
// One forward pass, no token list, no recursion; the only step back is a
// keyword that does not match. Pure functions of the text: any thread, no
// lock.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/ast.h"
#include "types/value.h"

namespace zembrel::parser {

// A position in SQL text.
struct TextCursor {
    std::string_view text;
    size_t pos = 0;

    bool at_end() const { return pos >= text.size(); }
    // The byte at the position; 0 at the end (no rule accepts a NUL byte).
    char peek() const { return pos < text.size() ? text[pos] : '\0'; }
};

namespace fast_insert {

std::optional<Statement> try_parse(std::string_view sql);
// Digits with at most one '.' at the cursor: Float with a '.', else Int (a
// value above INT64_MAX declines); negated with `negative`. Moves the cursor
// past the run on success.
std::optional<Value> parse_number(TextCursor& cursor, bool negative);

}  // namespace fast_insert

namespace fast_select {

std::optional<Statement> try_parse(std::string_view sql);
// The longest run of [A-Za-z0-9_] starting with [A-Za-z_], case kept.
std::optional<std::string> scan_identifier(TextCursor& cursor);
// `qualifier.column`, no whitespace around the dot; unqualified names decline.
std::optional<ColumnRef> parse_column_ref(TextCursor& cursor);
// `keyword` (2 to 5 lower-case letters) in any ASCII case, not followed by an
// identifier byte. The cursor moves past it on a match and stays otherwise.
bool match_keyword(TextCursor& cursor, std::string_view keyword);
// An optional '-' directly followed by digits: Value Int.
std::optional<Value> parse_integer(TextCursor& cursor);
std::vector<SelectItem> columns_to_select_items(std::vector<ColumnRef> columns);

}  // namespace fast_select

// SELECT * | c, ... FROM t WHERE c op literal [LIMIT n] [;]: the point and
// range query of one table. Unlike the two above it keeps no difference from
// parse_sql (keywords are refused as names, numbers are read as the lexer
// reads them), so parse_sql itself tries it first. Columns may be qualified
// (q.c, no space around the dot); op is one of = <> != < > <= >=; the
// literal is an integer or a decimal (a '-' directly before its first
// digit) or a quoted text.
namespace fast_point_select {

std::optional<Statement> try_parse(std::string_view sql);

}  // namespace fast_point_select

}  // namespace zembrel::parser
