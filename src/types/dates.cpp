#include "types/dates.h"

#include <cstdio>
#include <ctime>

#include "types/text_format.h"
#include "types/utf8.h"

namespace zembrel::types {

namespace {

constexpr long kMaxYear = 262143;

// Reads from a text with positions in bytes; every read stays in bounds.
struct Scanner {
    std::string_view s;
    size_t pos = 0;

    bool at_end() const { return pos >= s.size(); }
    bool eat(char c) {
        if (pos < s.size() && s[pos] == c) { ++pos; return true; }
        return false;
    }
    bool digit_here() const { return pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; }

    void skip_space() {
        while (pos < s.size()) {
            size_t len;
            char32_t c = utf8_char_at(s, pos, len);
            if (len == 0 || !is_unicode_space(c)) return;
            pos += len;
        }
    }
    // Up to `max_digits` digits (at least one) into `out`.
    bool digits(size_t max_digits, long& out) {
        if (!digit_here()) return false;
        out = 0;
        for (size_t n = 0; n < max_digits && digit_here(); ++n) out = out * 10 + (s[pos++] - '0');
        return true;
    }
};

bool leap(long y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int month_days(long y, long m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : days[m - 1];
}

bool scan_year(Scanner& sc, long& year) {
    sc.skip_space();
    bool neg = false;
    if (sc.eat('+') || (neg = sc.eat('-'))) {
        if (!sc.digit_here()) return false;
        long y = 0;
        while (sc.digit_here()) {
            y = y * 10 + (sc.s[sc.pos++] - '0');
            if (y > kMaxYear) return false;
        }
        year = neg ? -y : y;
        return true;
    }
    return sc.digits(4, year);
}

// The "%Y-%m-%d" part; leaves the scanner after the day.
bool scan_date(Scanner& sc) {
    long y, m, d;
    if (!scan_year(sc, y) || !sc.eat('-')) return false;
    sc.skip_space();
    if (!sc.digits(2, m) || m < 1 || m > 12 || !sc.eat('-')) return false;
    sc.skip_space();
    return sc.digits(2, d) && d >= 1 && d <= month_days(y, m);
}

bool scan_field(Scanner& sc, long max) {
    sc.skip_space();
    long v;
    return sc.digits(2, v) && v <= max;
}

bool datetime_head(std::string_view head) {
    Scanner sc{head};
    if (!scan_date(sc)) return false;
    sc.skip_space();  // the pattern's space: any run, also an empty one
    return scan_field(sc, 23) && sc.eat(':') && scan_field(sc, 59) && sc.eat(':') && scan_field(sc, 60) &&
           sc.at_end();
}

std::tm local_now(long& nanos) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    nanos = ts.tv_nsec;
    tzset();
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    return tm;
}

}  // namespace

bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

bool parse_date(std::string_view text) {
    Scanner sc{text};
    return scan_date(sc) && sc.at_end();
}

Status parse_datetime(std::string_view text, std::string_view column) {
    size_t colons = 0;
    for (char c : text) colons += c == ':';
    size_t last = text.rfind(':');
    if (colons != 3 || !datetime_head(text.substr(0, last)))
        return type_error(format("column '{}': invalid datetime '{}', expected yyyy-MM-dd HH:mm:ss:ms", column, text));
    std::string_view ms = text.substr(last + 1);
    std::string_view digits = ms.starts_with('+') ? ms.substr(1) : ms;
    uint64_t value = 0;
    bool ok = !digits.empty();
    for (char c : digits) {
        if (c < '0' || c > '9') { ok = false; break; }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > 0xFFFFFFFFULL) { ok = false; break; }
    }
    if (!ok) return type_error(format("column '{}': invalid milliseconds '{}'", column, ms));
    if (value >= 1000) return type_error(format("column '{}': milliseconds must be 0-999, got {}", column, value));
    return {};
}

Value today_value() {
    long nanos;
    std::tm tm = local_now(nanos);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return Value::date(buf);
}

Value now_value() {
    long nanos;
    std::tm tm = local_now(nanos);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d:%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(nanos / 1000000));
    return Value::datetime(buf);
}

}  // namespace zembrel::types
