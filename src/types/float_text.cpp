#include "types/float_text.h"

#include <charconv>
#include <cmath>

namespace zembrel {

namespace {

// The shortest round-trip digits of |d| (no leading zeros) and the decimal
// exponent of the first digit: |d| = 0.d1d2... * 10^(exp+1).
struct Digits {
    bool negative = false;
    std::string digits;
    int exp = 0;
};

Digits shortest_digits(double d) {
    char buf[64];
    // Without a precision, scientific form gives the shortest round-trip digits.
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    std::string_view s(buf, static_cast<size_t>(r.ptr - buf));
    Digits out;
    size_t i = 0;
    if (s[i] == '-') { out.negative = true; ++i; }
    size_t e = s.find('e');
    for (; i < e; ++i)
        if (s[i] != '.') out.digits += s[i];
    std::from_chars(s.data() + e + 1 + (s[e + 1] == '+' ? 1 : 0), s.data() + s.size(), out.exp);
    return out;
}

std::string positional(const Digits& d) {
    std::string out = d.negative ? "-" : "";
    int n = static_cast<int>(d.digits.size());
    if (d.exp >= n - 1) {
        out += d.digits;
        out.append(static_cast<size_t>(d.exp - (n - 1)), '0');
    } else if (d.exp >= 0) {
        out.append(d.digits, 0, static_cast<size_t>(d.exp + 1));
        out += '.';
        out.append(d.digits, static_cast<size_t>(d.exp + 1));
    } else {
        out += "0.";
        out.append(static_cast<size_t>(-d.exp - 1), '0');
        out += d.digits;
    }
    return out;
}

const char* special(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    return nullptr;
}

}  // namespace

std::string float_cell_text(double d) {
    if (const char* s = special(d)) return s;
    return positional(shortest_digits(d));
}

std::string float_debug_text(double d) {
    if (const char* s = special(d)) return s;
    Digits digits = shortest_digits(d);
    double mag = std::fabs(d);
    if (mag == 0.0 || (mag >= 1e-4 && mag < 1e16)) {
        std::string out = positional(digits);
        if (out.find('.') == std::string::npos) out += ".0";
        return out;
    }
    std::string out = digits.negative ? "-" : "";
    out += digits.digits[0];
    if (digits.digits.size() > 1) {
        out += '.';
        out.append(digits.digits, 1);
    }
    out += 'e';
    out += std::to_string(digits.exp);
    return out;
}

}  // namespace zembrel
