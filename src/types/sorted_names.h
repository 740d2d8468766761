// Passes over all tables that must be repeatable visit the names in
// ascending byte order (a proper prefix first).
#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace zembrel {

// Copies of the names, sorted by their bytes.
template <class Range>
std::vector<std::string> sort_names(const Range& names) {
    std::vector<std::string> out(std::begin(names), std::end(names));
    std::sort(out.begin(), out.end());  // char_traits<char> compares as unsigned bytes
    return out;
}

// The keys of a map, sorted by their bytes.
template <class Map>
std::vector<std::string> sorted_keys(const Map& map) {
    std::vector<std::string> out;
    out.reserve(map.size());
    for (const auto& [name, value] : map) out.push_back(name);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace zembrel::executor
