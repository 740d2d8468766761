// Hashing consistent with Value::key_cmp equality, for the grouping maps of
// aggregation and window partitions: values equal under key order hash
// alike (a Text and a Uuid of the same bytes too), and an Int never equals a
// Float. Order comes afterwards, from sorting the distinct keys.
#pragma once

#include <bit>
#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

#include "types/value.h"

namespace zembrel::operators {

inline size_t key_hash(const Value& v) {
    auto mix = [](size_t h, size_t tag) { return h ^ (tag * 0x9E3779B97F4A7C15ull); };
    switch (v.kind()) {
        case ValueKind::Null: return 0x51ed27;
        case ValueKind::Bool: return mix(v.as_bool() ? 1 : 0, 1);
        case ValueKind::Int: return mix(std::hash<int64_t>{}(v.as_int()), 2);
        case ValueKind::Float: return mix(std::hash<uint64_t>{}(std::bit_cast<uint64_t>(v.as_float())), 3);
        case ValueKind::Text:
        case ValueKind::Uuid: return mix(std::hash<std::string_view>{}(v.as_text()), 4);
        case ValueKind::Date: return mix(std::hash<std::string_view>{}(v.as_text()), 6);
        case ValueKind::DateTime: return mix(std::hash<std::string_view>{}(v.as_text()), 7);
    }
    return 0;
}

struct KeyHash {
    size_t operator()(const std::vector<Value>& key) const {
        size_t h = key.size();
        for (const Value& v : key) h = (h ^ key_hash(v)) * 0x100000001B3ull;
        return h;
    }
};

struct KeyEqual {
    bool operator()(const std::vector<Value>& a, const std::vector<Value>& b) const {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (Value::key_cmp(a[i], b[i]) != 0) return false;
        return true;
    }
};

}  // namespace zembrel::operators
