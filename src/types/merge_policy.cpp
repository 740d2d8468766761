#include "types/merge_policy.h"

#include <string>

#include "types/utf8.h"

namespace zembrel {

namespace {

// The characters with the Unicode White_Space property.
bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
    size_t first = text.size();
    size_t last = 0;  // one past the last character that is not white space
    for (size_t i = 0; i < text.size();) {
        size_t len = 0;
        char32_t c = utf8_char_at(text, i, len);
        const bool space = len > 0 && is_white_space(c);
        if (len == 0) len = 1;  // a byte that starts no valid character is not white space
        if (!space) {
            if (first == text.size()) first = i;
            last = i + len;
        }
        i += len;
    }
    return first < last ? text.substr(first, last - first) : std::string_view{};
}

}  // namespace

std::optional<MergePolicy> MergePolicy::parse(std::string_view text) {
    std::string word(trim_white_space(text));
    for (char& c : word)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (word == "lww") return MergePolicy(Lww);
    if (word == "error") return MergePolicy(Error);
    if (word == "fieldmerge" || word == "field_merge" || word == "field-merge") return MergePolicy(FieldMerge);
    if (word == "manual") return MergePolicy(Manual);
    return std::nullopt;
}

std::string_view MergePolicy::word() const {
    switch (kind_) {
        case Lww: return "lww";
        case Error: return "error";
        case FieldMerge: return "field_merge";
        case Manual: return "manual";
    }
    return "lww";
}

}  // namespace zembrel
