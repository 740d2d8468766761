#include "types/utf8.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "types/text_format.h"

namespace zembrel {

namespace {

bool is_cont(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the valid sequence at i, or the error: bad_len > 0 for an invalid
// sequence of that many bytes, bad_len == 0 for input ending inside one.
struct Step {
    size_t len = 0;
    size_t bad_len = 0;
    bool ok = true;
    char32_t cp = 0;
};

Step step_at(std::string_view s, size_t i) {
    auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = at(i);
    Step st;
    if (b0 < 0x80) { st.len = 1; st.cp = b0; return st; }
    size_t width = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) width = 2;
    else if (b0 >= 0xE0 && b0 <= 0xEF) width = 3;
    else if (b0 >= 0xF0 && b0 <= 0xF4) width = 4;
    st.ok = false;
    if (width == 0) { st.bad_len = 1; return st; }
    // The second byte's range depends on the first (no overlongs, no
    // surrogates, nothing above U+10FFFF).
    if (i + 1 >= s.size()) { st.bad_len = 0; return st; }
    unsigned char b1 = at(i + 1);
    bool second_ok;
    if (width == 2) second_ok = is_cont(b1);
    else if (b0 == 0xE0) second_ok = b1 >= 0xA0 && b1 <= 0xBF;
    else if (b0 == 0xED) second_ok = b1 >= 0x80 && b1 <= 0x9F;
    else if (width == 3) second_ok = is_cont(b1);
    else if (b0 == 0xF0) second_ok = b1 >= 0x90 && b1 <= 0xBF;
    else if (b0 == 0xF4) second_ok = b1 >= 0x80 && b1 <= 0x8F;
    else second_ok = is_cont(b1);
    if (!second_ok) { st.bad_len = 1; return st; }
    for (size_t k = 2; k < width; ++k) {
        if (i + k >= s.size()) { st.bad_len = 0; return st; }
        if (!is_cont(at(i + k))) { st.bad_len = k; return st; }
    }
    char32_t cp = b0 & (width == 2 ? 0x1F : width == 3 ? 0x0F : 0x07);
    for (size_t k = 1; k < width; ++k) cp = (cp << 6) | (at(i + k) & 0x3F);
    st.ok = true;
    st.len = width;
    st.cp = cp;
    return st;
}

bool in(char32_t c, char32_t lo, char32_t hi) { return c >= lo && c <= hi; }

// Characters shown as code points: controls, separators other than the plain
// space, format characters, private use and noncharacters.
bool unprintable(char32_t c) {
    return c < 0x20 || in(c, 0x7F, 0xA0) || c == 0xAD || c == 0x061C || c == 0x1680 || c == 0x180E ||
           in(c, 0x2000, 0x200F) || in(c, 0x2028, 0x202F) || in(c, 0x205F, 0x206F) || c == 0x3000 ||
           in(c, 0xD800, 0xF8FF) || c == 0xFEFF || in(c, 0xFFF0, 0xFFFB) || (c & 0xFFFE) == 0xFFFE ||
           in(c, 0xFDD0, 0xFDEF) || in(c, 0xE0000, 0xE0FFF) || c >= 0xF0000;
}

// Combining marks that would otherwise attach to the opening quote.
bool combining(char32_t c) {
    return in(c, 0x0300, 0x036F) || in(c, 0x0483, 0x0489) || in(c, 0x0591, 0x05BD) || in(c, 0x1AB0, 0x1AFF) ||
           in(c, 0x1DC0, 0x1DFF) || c == 0x200C || in(c, 0x20D0, 0x20FF) || in(c, 0xFE00, 0xFE0F) ||
           in(c, 0xFE20, 0xFE2F);
}

}  // namespace

char32_t utf8_char_at(std::string_view text, size_t i, size_t& len) {
    Step st = step_at(text, i);
    len = st.ok ? st.len : 0;
    return st.ok ? st.cp : 0;
}

std::optional<std::string> utf8_error(std::string_view bytes) {
    size_t i = 0;
    // Plain ASCII, the bulk of stored text, eight bytes at a time.
    while (i + 8 <= bytes.size()) {
        uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        if (word & 0x8080808080808080ULL) break;
        i += 8;
    }
    while (i < bytes.size()) {
        Step st = step_at(bytes, i);
        if (!st.ok) {
            if (st.bad_len == 0) return format("incomplete utf-8 byte sequence from index {}", i);
            return format("invalid utf-8 sequence of {} bytes from index {}", st.bad_len, i);
        }
        i += st.len;
    }
    return std::nullopt;
}

namespace {

std::string quoted(std::string_view text, bool every_mark) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    size_t i = 0;
    while (i < text.size()) {
        Step st = step_at(text, i);
        if (!st.ok) {
            out += "\\u{fffd}";
            i += st.bad_len == 0 ? text.size() - i : st.bad_len;
            continue;
        }
        char32_t c = st.cp;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (unprintable(c) || ((every_mark || i == 0) && combining(c))) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
                    out += buf;
                } else
                    out.append(text.substr(i, st.len));
        }
        i += st.len;
    }
    out += '"';
    return out;
}

}  // namespace

std::string quoted_debug_text(std::string_view text) { return quoted(text, false); }

std::string quoted_debug_text_all_marks(std::string_view text) { return quoted(text, true); }

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        // Continuation count and the allowed range of the first continuation
        // byte, which excludes overlong forms, surrogates and code points
        // beyond U+10FFFF.
        size_t need = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) need = 1;
        else if (b == 0xE0) { need = 2; lo = 0xA0; }
        else if (b == 0xED) { need = 2; hi = 0x9F; }
        else if (b >= 0xE1 && b <= 0xEF) need = 2;
        else if (b == 0xF0) { need = 3; lo = 0x90; }
        else if (b == 0xF4) { need = 3; hi = 0x8F; }
        else if (b >= 0xF1 && b <= 0xF3) need = 3;
        size_t len = 1;
        bool whole = need > 0;
        for (size_t k = 0; k < need; ++k) {
            const unsigned char lower = k == 0 ? lo : 0x80, upper = k == 0 ? hi : 0xBF;
            if (i + len >= n || p[i + len] < lower || p[i + len] > upper) {
                whole = false;
                break;
            }
            ++len;
        }
        if (whole) out.append(bytes.substr(i, len));
        else out.append("\xEF\xBF\xBD");
        i += len;
    }
    return out;
}

}  // namespace zembrel
