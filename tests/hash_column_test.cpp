#include <gtest/gtest.h>

#include <argon2.h>

#include "hash_column/hash_column.h"

using namespace zembrel::hash_column;

namespace {

std::string b64(std::string_view s) { return base64_unpadded(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }

const std::string kPrefix = "$argon2id$v=19$m=19456,t=2,p=1$";

}  // namespace

TEST(HashColumn, Base64) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {{"", ""}, {"f", "Zg"}, {"fo", "Zm8"}, {"foo", "Zm9v"}, {"foob", "Zm9vYg"},
                          {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe\xfd", "//79"}};
    for (const auto& c : cases) EXPECT_EQ(b64(c.in), c.out);
}

// Few cases: every hash takes ~19 MiB and tens of milliseconds.
TEST(HashColumn, PhcStringIsDeterministicAndVerifies) {
    const std::string salt = "3f2a1c9e-0b7d-4e8a-9c61-5d2f7a8b9e10";
    const std::string text("pass\0word", 9);
    std::string h1 = *hash_value(text, salt);
    EXPECT_EQ(h1.size(), 97u);
    EXPECT_EQ(h1.rfind(kPrefix, 0), 0u);
    auto digest = sha256(salt);
    EXPECT_EQ(h1.substr(kPrefix.size(), 23), base64_unpadded(digest.data(), 16) + "$");
    EXPECT_EQ(*hash_value(text, salt), h1);
    // The whole text counts, NUL and all: the library's own check of the PHC
    // string accepts it for the full text only.
    EXPECT_EQ(argon2id_verify(h1.c_str(), text.data(), text.size()), ARGON2_OK);
    EXPECT_NE(argon2id_verify(h1.c_str(), "pass", 4), ARGON2_OK);

    std::string other_salt = *hash_value(text, salt + "x");
    EXPECT_NE(other_salt.substr(kPrefix.size(), 22), h1.substr(kPrefix.size(), 22));
    EXPECT_NE(other_salt.substr(kPrefix.size() + 23), h1.substr(kPrefix.size() + 23));
    // The form of a hash under a salt: its prefix and a full hash field.
    const std::string prefix = hash_prefix(salt);
    EXPECT_TRUE(has_hash_form(h1, prefix));
    EXPECT_FALSE(has_hash_form(other_salt, prefix));
    EXPECT_FALSE(has_hash_form(h1.substr(0, 96), prefix));
    EXPECT_FALSE(has_hash_form(h1 + "A", prefix));
    EXPECT_FALSE(has_hash_form(prefix, prefix));

    // The empty text, and a text that already is a hash, hash like any other.
    std::string empty = *hash_value("", salt);
    EXPECT_EQ(empty.size(), 97u);
    EXPECT_EQ(argon2id_verify(empty.c_str(), "", 0), ARGON2_OK);
    std::string again = *hash_value(h1, salt);
    EXPECT_NE(again, h1);
    EXPECT_EQ(argon2id_verify(again.c_str(), h1.data(), h1.size()), ARGON2_OK);
}
