// Byte strings written in test tables as hex pairs, e.g. "03 00, 01 FE".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zembrel::testing {

// The bytes of the hex pairs in `s`; spaces and commas between pairs are skipped.
inline std::vector<std::uint8_t> hex_bytes(const char* s) {
    std::vector<std::uint8_t> out;
    for (const char* p = s; *p;) {
        if (*p == ' ' || *p == ',') { ++p; continue; }
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return out;
}

}  // namespace zembrel::testing
