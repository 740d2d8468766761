// A compact, trivially copyable stand-in for one sort key value, so large
// sorts move and compare small cells in one array instead of reaching into
// every row. Comparing two cells gives exactly Value::sql_cmp of the values
// they stand for: numbers and booleans are held inline, a text kind is
// compared through the value it points to (which must outlive the cell).
#pragma once

#include <bit>
#include <compare>
#include <cstdint>

#include "types/value.h"

namespace zembrel::operators {

struct SortCell {
    // Value::sql_cmp's classes: Null < Bool < numbers < text kinds.
    uint8_t cls = 0;
    bool is_int = false;
    union {
        int64_t i;
        double f;
        bool b;
    } num{0};
    const Value* value = nullptr;  // text kinds

    static SortCell of(const Value& v) {
        SortCell c;
        switch (v.kind()) {
            case ValueKind::Null: c.cls = 0; break;
            case ValueKind::Bool: c.cls = 1; c.num.b = v.as_bool(); break;
            case ValueKind::Int: c.cls = 2; c.is_int = true; c.num.i = v.as_int(); break;
            case ValueKind::Float: c.cls = 2; c.num.f = v.as_float(); break;
            default: c.cls = 3; c.value = &v; break;
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
            default: return Value::sql_cmp(*a.value, *b.value);
        }
    }

private:
    double number() const { return is_int ? static_cast<double>(num.i) : num.f; }
    // IEEE 754 totalOrder as a signed integer, as the value order uses it.
    static int64_t total_order(double d) {
        int64_t bits = std::bit_cast<int64_t>(d);
        if (bits < 0) bits ^= INT64_MAX;
        return bits;
    }
};

}  // namespace zembrel::operators
