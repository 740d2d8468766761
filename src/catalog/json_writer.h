// Compact JSON writing primitives: everything is appended to a caller's byte
// buffer, no document tree is built.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "types/error.h"

namespace zembrel::json_out {

// A JSON string: the quote and the backslash escaped with a backslash,
// control characters below 0x20 as \b \t \n \f \r or \u00xx (lower-case hex),
// every other byte as it stands. Text that is not valid UTF-8 cannot be read
// back by any JSON reader, so it is refused with the UTF-8 checker's text
// (Storage) and nothing is appended.
Status write_string(std::string& out, std::string_view text);

// The shortest decimal text that reads back as the same double, as the JSON
// library prints it (1.0, 1e+100, -0.0). Non-finite values have no JSON form:
// "non-finite float {} cannot be written as JSON" (Storage), nothing appended.
Status write_float(std::string& out, double value);

void write_unsigned(std::string& out, std::uint64_t value);
void write_signed(std::string& out, std::int64_t value);

}  // namespace zembrel::json_out
