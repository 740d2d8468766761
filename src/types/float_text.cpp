#include "types/float_text.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace zembrel {

namespace {

// The shortest round-trip digits of |d| (no leading zeros) and the decimal
// exponent of the first digit: |d| = 0.d1d2... * 10^(exp+1).
// At most 17 digits: held in place, so that rendering a cell allocates nothing.
struct Digits {
    bool negative = false;
    char buf[24];
    size_t size = 0;
    int exp = 0;
    std::string_view digits() const { return {buf, size}; }
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
    for (; i < e && out.size < sizeof out.buf; ++i)
        if (s[i] != '.') out.buf[out.size++] = s[i];
    std::from_chars(s.data() + e + 1 + (s[e + 1] == '+' ? 1 : 0), s.data() + s.size(), out.exp);
    return out;
}

void append_positional(std::string& out, const Digits& d) {
    if (d.negative) out += '-';
    const std::string_view digits = d.digits();
    int n = static_cast<int>(digits.size());
    if (d.exp >= n - 1) {
        out += digits;
        out.append(static_cast<size_t>(d.exp - (n - 1)), '0');
    } else if (d.exp >= 0) {
        out += digits.substr(0, static_cast<size_t>(d.exp + 1));
        out += '.';
        out += digits.substr(static_cast<size_t>(d.exp + 1));
    } else {
        out += "0.";
        out.append(static_cast<size_t>(-d.exp - 1), '0');
        out += digits;
    }
}

const char* special(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    return nullptr;
}

}  // namespace

std::string float_cell_text(double d) {
    std::string out;
    append_float_cell_text(out, d);
    return out;
}

void append_float_cell_text(std::string& out, double d) {
    if (const char* s = special(d)) {
        out += s;
        return;
    }
    append_positional(out, shortest_digits(d));
}

std::string float_debug_text(double d) {
    if (const char* s = special(d)) return s;
    Digits digits = shortest_digits(d);
    double mag = std::fabs(d);
    if (mag == 0.0 || (mag >= 1e-4 && mag < 1e16)) {
        std::string out;
        append_positional(out, digits);
        if (out.find('.') == std::string::npos) out += ".0";
        return out;
    }
    std::string out = digits.negative ? "-" : "";
    out += digits.buf[0];
    if (digits.size > 1) {
        out += '.';
        out += digits.digits().substr(1);
    }
    out += 'e';
    out += std::to_string(digits.exp);
    return out;
}

}  // namespace zembrel
