// The two orders of values and the texts of values and column types.
#include "types/value.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "types/float_text.h"
#include "types/text_format.h"
#include "types/utf8.h"

namespace zembrel {

namespace {

// IEEE 754 totalOrder key: -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN.
int64_t total_order_key(double d) {
    int64_t bits = std::bit_cast<int64_t>(d);
    if (bits < 0) bits ^= INT64_MAX;  // flip all but the sign bit
    return bits;
}

std::strong_ordering total_cmp(double a, double b) { return total_order_key(a) <=> total_order_key(b); }

std::strong_ordering bytes_cmp(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c < 0 ? std::strong_ordering::less : std::strong_ordering::greater;
    return a.size() <=> b.size();
}

double as_number(const Value& v) { return v.is_int() ? static_cast<double>(v.as_int()) : v.as_float(); }

// SQL-order classes of kinds: Null < Bool < numbers < text kinds.
int sql_class(ValueKind k) {
    switch (k) {
        case ValueKind::Null: return 0;
        case ValueKind::Bool: return 1;
        case ValueKind::Int:
        case ValueKind::Float: return 2;
        default: return 3;
    }
}

// Key-order ranks, equal to the key tags.
int key_rank(ValueKind k) {
    switch (k) {
        case ValueKind::Null: return 0;
        case ValueKind::Bool: return 1;
        case ValueKind::Int: return 2;
        case ValueKind::Float: return 3;
        case ValueKind::Text: return 4;
        case ValueKind::Uuid: return 5;
        case ValueKind::Date: return 6;
        case ValueKind::DateTime: return 7;
    }
    return 0;
}

bool is_dateish(ValueKind k) { return k == ValueKind::Date || k == ValueKind::DateTime; }

const char* kind_name(ValueKind k) {
    switch (k) {
        case ValueKind::Int: return "Int";
        case ValueKind::Text: return "Text";
        case ValueKind::Float: return "Float";
        case ValueKind::Bool: return "Bool";
        case ValueKind::Null: return "Null";
        case ValueKind::Uuid: return "Uuid";
        case ValueKind::Date: return "Date";
        case ValueKind::DateTime: return "DateTime";
    }
    return "Null";
}

}  // namespace

std::strong_ordering Value::sql_cmp(const Value& a, const Value& b) {
    int ca = sql_class(a.kind_), cb = sql_class(b.kind_);
    if (ca != cb) return ca <=> cb;
    switch (ca) {
        case 0: return std::strong_ordering::equal;
        case 1: return a.as_bool() <=> b.as_bool();
        case 2:
            if (a.is_int() && b.is_int()) return a.as_int() <=> b.as_int();
            return total_cmp(as_number(a), as_number(b));
        default:
            // A Uuid sits below Date and DateTime whatever the texts; every
            // other pair of text kinds compares by bytes.
            if (a.kind_ == ValueKind::Uuid && is_dateish(b.kind_)) return std::strong_ordering::less;
            if (is_dateish(a.kind_) && b.kind_ == ValueKind::Uuid) return std::strong_ordering::greater;
            return bytes_cmp(a.as_text(), b.as_text());
    }
}

std::strong_ordering Value::key_cmp(const Value& a, const Value& b) {
    if (a.kind_ == b.kind_) {
        switch (a.kind_) {
            case ValueKind::Null: return std::strong_ordering::equal;
            case ValueKind::Bool: return a.as_bool() <=> b.as_bool();
            case ValueKind::Int: return a.as_int() <=> b.as_int();
            case ValueKind::Float: return total_cmp(a.as_float(), b.as_float());
            default: return bytes_cmp(a.as_text(), b.as_text());
        }
    }
    bool a_tu = a.kind_ == ValueKind::Text || a.kind_ == ValueKind::Uuid;
    bool b_tu = b.kind_ == ValueKind::Text || b.kind_ == ValueKind::Uuid;
    if (a_tu && b_tu) return bytes_cmp(a.as_text(), b.as_text());
    return key_rank(a.kind_) <=> key_rank(b.kind_);
}

unsigned __int128 Value::key_prefix(const Value& v) {
    // Top byte: the rank of the kind, Text and Uuid sharing one (they
    // compare by bytes with each other); below it the payload's order.
    const uint64_t rank = static_cast<uint64_t>(key_rank(v.kind_ == ValueKind::Uuid ? ValueKind::Text : v.kind_));
    unsigned __int128 image = static_cast<unsigned __int128>(rank) << 120;
    switch (v.kind_) {
        case ValueKind::Null: break;
        case ValueKind::Bool: image |= v.as_bool() ? 1 : 0; break;
        case ValueKind::Int: image |= static_cast<uint64_t>(v.as_int()) ^ (uint64_t{1} << 63); break;
        case ValueKind::Float: image |= static_cast<uint64_t>(total_order_key(v.as_float())) ^ (uint64_t{1} << 63); break;
        default: {
            // The first kPrefixTextBytes bytes, big-endian, zero-padded, then
            // the length capped one above them: a text that short is wholly
            // in the image, longer ones sharing those bytes tie. Keys of one
            // index often share a long start ("group 000123"), so the more
            // bytes the image holds, the fewer ties reach key_cmp.
            // Every key of a table passes here at load: the bytes go in
            // as two big-endian words, not one shift each.
            const std::string_view text = v.as_text();
            unsigned char bytes[16] = {};
            std::memcpy(bytes, text.data(), std::min<size_t>(kPrefixTextBytes, text.size()));
            uint64_t high, low;
            std::memcpy(&high, bytes, 8);
            std::memcpy(&low, bytes + 8, 8);
            if constexpr (std::endian::native == std::endian::little) {
                high = __builtin_bswap64(high);
                low = __builtin_bswap64(low);
            }
            image |= ((static_cast<unsigned __int128>(high) << 64) | low) >> 8;
            image |= std::min<uint64_t>(kPrefixTextBytes + 1, text.size());
        }
    }
    return image;
}

void Value::own_copy(std::string_view s) {
    if (s.size() <= kInlineText) {
        if (!s.empty()) std::memcpy(raw_, s.data(), s.size());
        rep_ = static_cast<unsigned char>(s.size());
        return;
    }
    char* block = new char[s.size()];
    std::memcpy(block, s.data(), s.size());
    set_ext(block, s.size());
    rep_ = kHeap;
}

bool Value::operator==(const Value& o) const {
    if (kind_ != o.kind_) return false;
    switch (kind_) {
        case ValueKind::Null: return true;
        case ValueKind::Bool: return as_bool() == o.as_bool();
        case ValueKind::Int: return as_int() == o.as_int();
        case ValueKind::Float: return std::bit_cast<uint64_t>(as_float()) == std::bit_cast<uint64_t>(o.as_float());
        default: return as_text() == o.as_text();
    }
}

std::string Value::display() const {
    switch (kind_) {
        case ValueKind::Int: return std::to_string(as_int());
        case ValueKind::Float: return float_cell_text(as_float());
        case ValueKind::Bool: return as_bool() ? "true" : "false";
        case ValueKind::Null: return "NULL";
        default: return std::string(as_text());
    }
}

std::string Value::debug() const {
    switch (kind_) {
        case ValueKind::Null: return "Null";
        case ValueKind::Int: return format("Int({})", as_int());
        case ValueKind::Float: return format("Float({})", float_debug_text(as_float()));
        case ValueKind::Bool: return as_bool() ? "Bool(true)" : "Bool(false)";
        default: return format("{}({})", kind_name(kind_), quoted_debug_text(as_text()));
    }
}

std::string debug_values(std::span<const Value> values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) out += ", ";
        out += values[i].debug();
    }
    out += ']';
    return out;
}

bool KeyLess::operator()(const std::vector<Value>& a, const std::vector<Value>& b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        auto c = Value::key_cmp(a[i], b[i]);
        if (c != 0) return c < 0;
    }
    return a.size() < b.size();
}

std::string DataType::display() const {
    switch (kind) {
        case DataTypeKind::Int: return "INT";
        case DataTypeKind::Text: return "TEXT";
        case DataTypeKind::Float: return "FLOAT";
        case DataTypeKind::Bool: return "BOOL";
        case DataTypeKind::Pk: return "PK";
        case DataTypeKind::Date: return "DATE";
        case DataTypeKind::DateTime: return "DATETIME";
        case DataTypeKind::Str: return "STRING(" + std::to_string(size) + ")";
    }
    return "INT";
}

std::string DataType::debug() const {
    switch (kind) {
        case DataTypeKind::Int: return "Int";
        case DataTypeKind::Text: return "Text";
        case DataTypeKind::Float: return "Float";
        case DataTypeKind::Bool: return "Bool";
        case DataTypeKind::Pk: return "Pk";
        case DataTypeKind::Date: return "Date";
        case DataTypeKind::DateTime: return "DateTime";
        case DataTypeKind::Str: return "Str(" + std::to_string(size) + ")";
    }
    return "Int";
}

}  // namespace zembrel
