// Private helpers shared by the grammar files (parser.cpp, select_parser.cpp).
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "parser/token.h"
#include "types/error.h"

namespace zembrel::parser::detail {

// "{what}, got {token}": the shape of most parse errors.
inline std::unexpected<EngineError> got(std::string_view what, const Token& token) {
    return parse_error(std::string(what) + ", got " + token.printed());
}

// Words that are no keywords (TRANSACTION, MERGE, ...) match in any ASCII case.
inline bool ascii_iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace zembrel::parser::detail

// Early return of the error of a Result/Status; ZB_TRY binds the value.
#define ZB_TRY(var, expr)                                                       \
    auto var##_result = (expr);                                                 \
    if (!var##_result) return std::unexpected(std::move(var##_result.error())); \
    auto var = std::move(*var##_result)
#define ZB_CHECK(expr)                                                        \
    do {                                                                      \
        auto zb_status = (expr);                                              \
        if (!zb_status) return std::unexpected(std::move(zb_status.error())); \
    } while (0)
