// Text crossing the C boundary: strict UTF-8 checks on the way in, owned
// NUL-terminated copies on the way out.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zembrel::ffi {

// The argument as a view, or none when it is NULL or not valid UTF-8.
std::optional<std::string_view> text_arg(const char* text);

// A text that can be handed out whole, or none when it holds a NUL byte.
inline std::optional<std::string> c_safe(std::string text) {
    if (text.find('\0') != std::string::npos) return std::nullopt;
    return text;
}

}  // namespace zembrel::ffi
