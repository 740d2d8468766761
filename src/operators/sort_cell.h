// A compact, trivially copyable stand-in for one sort key value, so large
// sorts move and compare small cells in one array instead of reaching into
// every row. Comparing two cells gives exactly Value::sql_cmp of the values
// they stand for: numbers and booleans are held inline, a text kind by its
// first sixteen bytes and its length, and through the value it points to
// (which must outlive the cell) only when a text longer than that ties.
#pragma once

#include <algorithm>
#include <bit>
#include <compare>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "types/value.h"

namespace zembrel::operators {

struct SortCell {
    static constexpr size_t kInlineText = 16;

    // Value::sql_cmp's classes: Null < Bool < numbers < text kinds.
    uint8_t cls = 0;
    bool is_int = false;
    ValueKind kind = ValueKind::Null;
    uint8_t text_size = 0;  // text kinds: the length, kInlineText + 1 for any longer one
    // Free for the sort that uses the cell (the row's place), which keeps
    // a cell and its place in 32 bytes.
    uint32_t place = 0;
    union {
        int64_t i;
        double f;
        bool b;
        uint64_t head;  // text kinds: bytes 0..7, big-endian, zero-padded
    } num{0};
    uint64_t tail = 0;             // text kinds: bytes 8..15, likewise
    const Value* value = nullptr;  // text kinds

    static SortCell of(const Value& v) {
        SortCell c;
        c.kind = v.kind();
        switch (v.kind()) {
            case ValueKind::Null: c.cls = 0; break;
            case ValueKind::Bool: c.cls = 1; c.num.b = v.as_bool(); break;
            case ValueKind::Int: c.cls = 2; c.is_int = true; c.num.i = v.as_int(); break;
            case ValueKind::Float: c.cls = 2; c.num.f = v.as_float(); break;
            default: c.cls = 3; c.value = &v; c.set_text(v.as_text()); break;
        }
        return c;
    }

    static std::strong_ordering compare(const SortCell& a, const SortCell& b) {
        if (a.cls != b.cls) return a.cls <=> b.cls;
        switch (a.cls) {
            case 0: return std::strong_ordering::equal;
            case 1: return a.num.b <=> b.num.b;
            case 2:
                if (a.is_int && b.is_int) return a.num.i <=> b.num.i;
                return total_order(a.number()) <=> total_order(b.number());
            default:
                // Bytes decide between text kinds, except that a Uuid sits
                // below a Date or DateTime whatever their texts.
                if (uuid_and_date(a.kind, b.kind) || uuid_and_date(b.kind, a.kind))
                    return Value::sql_cmp(*a.value, *b.value);
                if (a.num.head != b.num.head) return a.num.head <=> b.num.head;
                if (a.tail != b.tail) return a.tail <=> b.tail;
                // Equal zero-padded heads: of two short texts the shorter
                // is a prefix of the other.
                if (a.text_size <= kInlineText && b.text_size <= kInlineText) return a.text_size <=> b.text_size;
                return Value::sql_cmp(*a.value, *b.value);
        }
    }

private:
    void set_text(std::string_view text) {
        text_size = static_cast<uint8_t>(std::min(text.size(), kInlineText + 1));
        unsigned char bytes[kInlineText] = {};
        std::memcpy(bytes, text.data(), std::min(text.size(), kInlineText));
        num.head = big_endian(bytes);
        tail = big_endian(bytes + 8);
    }
    static uint64_t big_endian(const unsigned char* p) {
        uint64_t v;
        std::memcpy(&v, p, sizeof v);
        if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
        return v;
    }
    static bool uuid_and_date(ValueKind a, ValueKind b) {
        return a == ValueKind::Uuid && (b == ValueKind::Date || b == ValueKind::DateTime);
    }
    double number() const { return is_int ? static_cast<double>(num.i) : num.f; }
    // IEEE 754 totalOrder as a signed integer, as the value order uses it.
    static int64_t total_order(double d) {
        int64_t bits = std::bit_cast<int64_t>(d);
        if (bits < 0) bits ^= INT64_MAX;
        return bits;
    }
};

static_assert(sizeof(SortCell) == 32);

}  // namespace zembrel::operators
