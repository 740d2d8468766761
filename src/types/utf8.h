// UTF-8 validation with positioned error texts, and the quoted diagnostic
// form of a text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zembrel {

// Nothing when the bytes are valid UTF-8; otherwise the error text
// "invalid utf-8 sequence of {n} bytes from index {i}" (a bad sequence of n
// bytes starts at byte i) or "incomplete utf-8 byte sequence from index {i}"
// (the input ends inside a sequence starting at byte i).
std::optional<std::string> utf8_error(std::string_view bytes);

// The character starting at byte `i` of `text` (i < text.size()) and, in
// `len`, its length in bytes; `len` is 0 when the bytes there are not one
// valid UTF-8 sequence (overlong forms and surrogates included).
char32_t utf8_char_at(std::string_view text, size_t i, size_t& len);

// The text in double quotes, with \" \\ \n \r \t \0 escaped and other
// unprintable characters (and a combining mark at the start) written as
// \u{hex}. Single quotes stay as they are. Bytes that are not UTF-8 are shown
// as \u{fffd}.
std::string quoted_debug_text(std::string_view text);

// As quoted_debug_text, but every combining mark is written as \u{hex},
// wherever it stands (the printed form of SQL tokens in parse errors).
std::string quoted_debug_text_all_marks(std::string_view text);

// The text with every invalid UTF-8 sequence replaced by U+FFFD, one
// replacement per maximal invalid subpart (a truncated but well-begun
// sequence is one replacement; a stray byte is one).
std::string utf8_lossy(std::string_view bytes);

}  // namespace zembrel
