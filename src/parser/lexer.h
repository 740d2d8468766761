// SQL text to tokens: one left-to-right pass with one byte of look-ahead.
//
// Pure function of its input; safe on any number of threads at once.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/token.h"

namespace zembrel::parser::lexer {

// The whole token list, always ended by one Eof token, or the message of the
// first lexical error (the caller wraps it as a Parse error). The text may hold
// any bytes; bytes that are not UTF-8 are reported, never read past.
std::expected<std::vector<Token>, std::string> tokenize(std::string_view sql);

// The keyword a word lexes as (any ASCII letter case, synonyms included), or
// none for a word that lexes as an identifier.
std::optional<TokenKind> keyword_kind(std::string_view word);

}  // namespace zembrel::parser::lexer
