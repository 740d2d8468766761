// Message templates with "{}" placeholders, filled in order. The standard
// <format> header is not available with this toolchain; messages need only
// texts and integers.
#pragma once

#include <concepts>
#include <string>
#include <string_view>
#include <vector>

namespace zembrel {

namespace detail {
inline void append_arg(std::string& out, std::string_view s) { out.append(s); }
inline void append_arg(std::string& out, const std::string& s) { out.append(s); }
inline void append_arg(std::string& out, const char* s) { out.append(s); }
inline void append_arg(std::string& out, char c) { out.push_back(c); }
template <std::integral I>
    requires(!std::same_as<I, char> && !std::same_as<I, bool>)
void append_arg(std::string& out, I v) { out.append(std::to_string(v)); }

inline void format_rest(std::string& out, std::string_view tmpl) { out.append(tmpl); }
template <class A, class... Rest>
void format_rest(std::string& out, std::string_view tmpl, const A& a, const Rest&... rest) {
    size_t at = tmpl.find("{}");
    if (at == std::string_view::npos) { out.append(tmpl); return; }
    out.append(tmpl.substr(0, at));
    append_arg(out, a);
    format_rest(out, tmpl.substr(at + 2), rest...);
}
}  // namespace detail

// format("table '{}' not found", name): each "{}" takes the next argument.
template <class... Args>
std::string format(std::string_view tmpl, const Args&... args) {
    std::string out;
    out.reserve(tmpl.size() + 16 * sizeof...(Args));
    detail::format_rest(out, tmpl, args...);
    return out;
}

// The texts joined by ", ", as messages list column names.
inline std::string join_texts(const std::vector<std::string>& texts) {
    std::string out;
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) out += ", ";
        out += texts[i];
    }
    return out;
}

}  // namespace zembrel
