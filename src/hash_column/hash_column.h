// Hashing of HASH-column texts: Argon2id in the PHC string form, with the
// salt derived from the column's salt text, so the same text in the same
// column always hashes to the same string.
//
// Result layout (always 97 characters):
//   $argon2id$v=19$m=19456,t=2,p=1$<salt: 22 chars>$<hash: 43 chars>
// salt = first 16 bytes of SHA-256(salt text); both fields in standard
// Base64 without padding. Argon2id version 19, 19456 KiB, 2 passes, 1 lane,
// 32-byte output, no secret, no associated data.
//
// Thread-safe; each call allocates and releases its own ~19 MiB working area.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace zembrel::hash_column {

// The PHC string of `text` under `salt`. Both are byte strings (they may hold
// NUL bytes). Fails, with the hashing library's reason, when the library
// refuses (a text of 4 GiB or more, no memory for the working area).
std::expected<std::string, std::string> hash_value(std::string_view text, std::string_view salt);

// What every hash under `salt` begins with: all but the hash field.
std::string hash_prefix(std::string_view salt);
// Whether `text` has the form of a hash whose beginning `prefix` (from
// hash_prefix) gives: the prefix and a hash field of the right length.
bool has_hash_form(std::string_view text, std::string_view prefix);

// SHA-256 digest of a byte string.
std::array<std::uint8_t, 32> sha256(std::string_view bytes);

// Standard Base64 (A-Z a-z 0-9 + /) without trailing "=".
std::string base64_unpadded(const std::uint8_t* data, size_t len);

}  // namespace zembrel::hash_column
