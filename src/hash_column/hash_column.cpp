#include "hash_column/hash_column.h"

#include <argon2.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace zembrel::hash_column {

namespace {

constexpr uint32_t kMemoryKiB = 19456;
constexpr uint32_t kPasses = 2;
constexpr uint32_t kLanes = 1;
constexpr size_t kSaltLen = 16;
constexpr size_t kHashLen = 32;
constexpr size_t kHashFieldLen = (kHashLen * 4 + 2) / 3;

std::string prefix_of(const std::array<std::uint8_t, 32>& salt_digest) {
    std::string out = "$argon2id$v=19$m=19456,t=2,p=1$";
    out += base64_unpadded(salt_digest.data(), kSaltLen);
    out += '$';
    return out;
}

}  // namespace

std::array<std::uint8_t, 32> sha256(std::string_view bytes) {
    std::array<std::uint8_t, 32> out{};
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out.data());
    return out;
}

std::string base64_unpadded(const std::uint8_t* data, size_t len) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((len * 4 + 2) / 3);
    for (size_t i = 0; i < len; i += 3) {
        // A group of n input bytes (3, or fewer at the end) gives n + 1 characters.
        const size_t n = std::min<size_t>(3, len - i);
        uint32_t v = uint32_t(data[i]) << 16;
        if (n > 1) v |= uint32_t(data[i + 1]) << 8;
        if (n > 2) v |= data[i + 2];
        for (size_t k = 0; k <= n; ++k) out += alphabet[(v >> (18 - 6 * k)) & 63];
    }
    return out;
}

std::expected<std::string, std::string> hash_value(std::string_view text, std::string_view salt) {
    const auto digest = sha256(salt);
    std::array<std::uint8_t, kHashLen> hash{};
    // An empty view may carry a null pointer, which the library refuses even
    // with a zero length.
    const char* pwd = text.empty() ? "" : text.data();
    int rc = argon2id_hash_raw(kPasses, kMemoryKiB, kLanes, pwd, text.size(), digest.data(), kSaltLen, hash.data(),
                               hash.size());
    if (rc != ARGON2_OK) return std::unexpected(std::string(argon2_error_message(rc)));
    std::string out = prefix_of(digest);
    out += base64_unpadded(hash.data(), hash.size());
    return out;
}

std::string hash_prefix(std::string_view salt) { return prefix_of(sha256(salt)); }

bool has_hash_form(std::string_view text, std::string_view prefix) {
    return text.size() == prefix.size() + kHashFieldLen && text.starts_with(prefix);
}

}  // namespace zembrel::hash_column
