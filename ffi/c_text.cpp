#include "c_text.h"

#include <cstring>

#include "types/utf8.h"

namespace zembrel::ffi {

std::optional<std::string_view> text_arg(const char* text) {
    if (text == nullptr) return std::nullopt;
    std::string_view view(text, std::strlen(text));
    if (utf8_error(view)) return std::nullopt;
    return view;
}

}  // namespace zembrel::ffi
