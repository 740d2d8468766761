// Texts of doubles: the shortest digit string that reads back to the same
// double, laid out as result cells and as diagnostics show them.
#pragma once

#include <string>

namespace zembrel {

// Cell text: plain positional notation, no exponent, no point for integral
// values (1e21 -> "1000000000000000000000", 1.5e-7 -> "0.00000015", -0.0 -> "-0",
// "inf", "-inf", "NaN").
std::string float_cell_text(double d);
// The same text appended to `out`, with no allocation of its own.
void append_float_cell_text(std::string& out, double d);

// Diagnostic text: positional with at least one fractional digit when zero or
// 1e-4 <= |d| < 1e16 (1.0, -0.0, 0.0001), exponent form otherwise (1e16,
// 1.5e-7, -2.5e20); "inf", "-inf", "NaN".
std::string float_debug_text(double d);

}  // namespace zembrel
