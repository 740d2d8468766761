#include "types/uuid.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "types/error.h"
#include "types/text_format.h"

namespace zembrel::types {

std::string new_uuid() {
    std::uint8_t b[16];
    if (getentropy(b, sizeof b) != 0)
        invariant_failed(format("could not retrieve random bytes for uuid: {} (os error {})", std::strerror(errno), errno));
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += digits[b[i] >> 4];
        out += digits[b[i] & 15];
    }
    return out;
}

}  // namespace zembrel::types
