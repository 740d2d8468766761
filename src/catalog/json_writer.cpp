#include "catalog/json_writer.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

#include "types/float_text.h"
#include "types/text_format.h"
#include "types/utf8.h"

namespace zembrel::json_out {

Status write_string(std::string& out, std::string_view text) {
    if (auto bad = utf8_error(text)) return storage_error(*bad);
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t run = 0;  // start of the bytes not yet copied
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.substr(run, i - run));
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                out += "\\u00";
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 0xF]);
        }
    }
    out.append(text.substr(run));
    out.push_back('"');
    return {};
}

Status write_float(std::string& out, double value) {
    if (!std::isfinite(value))
        return storage_error(format("non-finite float {} cannot be written as JSON", float_debug_text(value)));
    out += nlohmann::json(value).dump();
    return {};
}

void write_unsigned(std::string& out, std::uint64_t value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

void write_signed(std::string& out, std::int64_t value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

}  // namespace zembrel::json_out
