#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

#include "test_util.h"
#include "keycodec/keycodec.h"

using namespace zembrel;
using zembrel::testing::hex_bytes;
using namespace zembrel::keycodec;

namespace {

Bytes enc(const Value& v) {
    Bytes b;
    encode_value(v, b);
    return b;
}

int byte_cmp(const Bytes& a, const Bytes& b) {
    size_t n = std::min(a.size(), b.size());
    int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c) return c < 0 ? -1 : 1;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

int sign(std::strong_ordering o) { return o < 0 ? -1 : o > 0 ? 1 : 0; }

const double kInf = std::numeric_limits<double>::infinity();

}  // namespace

// Each form's bytes decode back to it; bad bytes give the decoder's message.
TEST(KeyCodec, BytesAndMessages) {
    struct Case { std::optional<Value> v; const char* bytes; const char* message = nullptr; };
    const Case cases[] = {
        {Value::integer(0), "02 80 00 00 00 00 00 00 00"},
        {Value::integer(-1), "02 7F FF FF FF FF FF FF FF"},
        {Value::integer(INT64_MIN), "02 00 00 00 00 00 00 00 00"},
        {Value::floating(1.0), "03 BF F0 00 00 00 00 00 00"},
        {Value::floating(-1.0), "03 40 0F FF FF FF FF FF FF"},
        {Value::floating(-0.0), "03 7F FF FF FF FF FF FF FF"},
        {Value::floating(0.0), "03 80 00 00 00 00 00 00 00"},
        {Value::text(std::string("a\0b", 3)), "04 61 00 FF 62 00 01"},
        {Value::text(std::string("\0\0", 2)), "04 00 FF 00 FF 00 01"},
        {Value::text(""), "04 00 01"},
        {Value::uuid("a"), "05 61 00 01"},
        {Value::date("1"), "06 31 00 01"},
        {Value::datetime(""), "07 00 01"},
        {Value::null(), "00"},
        {Value::boolean(true), "01 01"},
        {Value::boolean(false), "01 00"},
        {{}, "", "empty key"},
        {{}, "04 61 00", "unterminated string key"},
        {{}, "04 61", "unterminated string key"},
        {{}, "04 61 00 02", "invalid string escape: 0x00 0x02"},
        {{}, "04 61 00 7F", "invalid string escape: 0x00 0x7F"},
        {{}, "05 00 AB", "invalid string escape: 0x00 0xAB"},
        {{}, "08", "invalid key tag: 8"},
        {{}, "FF", "invalid key tag: 255"},
        {{}, "02 00", "truncated int key"},
        {{}, "03 00 00 00 00 00 00 00", "truncated float key"},
        {{}, "01", "truncated bool key"},
        {{}, "04 61 80 00 01", "invalid UTF-8 in key: invalid utf-8 sequence of 1 bytes from index 1"},
        {{}, "06 E2 82 00 01", "invalid UTF-8 in key: incomplete utf-8 byte sequence from index 0"},
        {{}, "04 61 00 01 00", "trailing bytes after key"},
    };
    for (const auto& c : cases) {
        auto back = decode_key(hex_bytes(c.bytes));
        if (c.message) {
            ASSERT_FALSE(back.has_value()) << c.bytes;
            EXPECT_EQ(back.error().kind, ErrorKind::Storage);
            EXPECT_EQ(back.error().message, c.message) << c.bytes;
            continue;
        }
        EXPECT_EQ(enc(*c.v), hex_bytes(c.bytes)) << c.v->debug();
        EXPECT_EQ(encoded_length(*c.v), enc(*c.v).size()) << c.v->debug();
        ASSERT_TRUE(back.has_value()) << back.error().message;
        EXPECT_EQ(*back, *c.v);
    }
    EXPECT_EQ(table_key(1), enc(Value::integer(1)));
    EXPECT_EQ(table_key(UINT64_MAX).size(), kTableKeyLen);
    EXPECT_EQ(catalog_key("users"), enc(Value::text("users")));
    // A bool payload other than 0x00 reads as true.
    EXPECT_EQ(*decode_key(hex_bytes("01 7F")), Value::boolean(true));
}

TEST(KeyCodec, IndexKeys) {
    std::vector<Value> vals{Value::text("x"), Value::integer(-7)};
    Bytes k = index_key(vals, 42);
    k.push_back(0xEE);  // not examined
    auto d = decode_index_key(k, 2);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->values, vals);
    EXPECT_EQ(d->rowid, 42u);
    EXPECT_EQ(d->consumed, k.size() - 1);

    auto big = decode_index_key(index_key({}, UINT64_MAX), 0);
    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(big->rowid, UINT64_MAX);

    Bytes bad;
    encode_value(Value::integer(1), bad);
    encode_value(Value::text("r"), bad);
    EXPECT_EQ(decode_index_key(bad, 1).error().message, "index key rowid must be Int");
    EXPECT_EQ(decode_index_key(hex_bytes("02 80"), 1).error().message, "truncated int key");
    EXPECT_EQ(decode_index_key(enc(Value::integer(1)), 1).error().message, "empty key");

    // Equal values order by row id.
    EXPECT_LT(byte_cmp(index_key(vals, 2), index_key(vals, 10)), 0);
}

TEST(KeyCodec, IndexKeyForRow) {
    Row row{Value::integer(1), Value::null(), Value::text("a")};
    std::vector<size_t> pos{2, 0};
    auto k = index_key_for_row(row, pos);
    ASSERT_TRUE(k.has_value());
    EXPECT_EQ(*k, (std::vector<Value>{Value::text("a"), Value::integer(1)}));
    std::vector<size_t> with_null{0, 1};
    EXPECT_FALSE(index_key_for_row(row, with_null).has_value());
    EXPECT_DEATH(index_key_for_row(row, std::vector<size_t>{3}), "outside");
}

// Byte order of encodings equals key_cmp, except Text against Uuid.
TEST(KeyCodecProperty, ByteOrderMatchesKeyOrder) {
    std::mt19937_64 rng(12345);
    const char alphabet[] = {'\0', '\x01', 'a', 'b', '\x7f', '\xff'};
    auto random_text = [&] {
        std::string s;
        size_t n = rng() % 5;
        for (size_t i = 0; i < n; ++i) {
            char c = alphabet[rng() % sizeof alphabet];
            if (c == '\xff') s += "\xC3\xBF";  // keep it valid UTF-8
            else s += c;
        }
        return s;
    };
    const double floats[] = {-kInf, -1e300, -1.0, -0.0, 0.0, 5e-324, 0.5, 1.0, 1e300, kInf,
                             std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
    const int64_t ints[] = {INT64_MIN, -256, -1, 0, 1, 255, 256, INT64_MAX};
    auto random_value = [&]() -> Value {
        switch (rng() % 8) {
            case 0: return Value::null();
            case 1: return Value::boolean(rng() & 1);
            case 2: return Value::integer(rng() % 2 ? ints[rng() % 8] : static_cast<int64_t>(rng()));
            case 3: return Value::floating(floats[rng() % 12]);
            case 4: return Value::text(random_text());
            case 5: return Value::uuid(random_text());
            case 6: return Value::date(random_text());
            default: return Value::datetime(random_text());
        }
    };
    for (int i = 0; i < 20000; ++i) {
        // Two-value keys check that concatenations sort value by value.
        Value a1 = random_value(), a2 = random_value(), b1 = random_value(), b2 = random_value();
        if (rng() % 2) b1 = a1;
        auto text_uuid = [](const Value& x, const Value& y) {
            return (x.kind() == ValueKind::Text && y.kind() == ValueKind::Uuid) ||
                   (x.kind() == ValueKind::Uuid && y.kind() == ValueKind::Text);
        };
        int want = sign(Value::key_cmp(a1, b1));
        if (text_uuid(a1, b1)) want = a1.kind() == ValueKind::Text ? -1 : 1;
        if (want == 0) {
            if (text_uuid(a2, b2)) continue;
            want = sign(Value::key_cmp(a2, b2));
        }
        Bytes ka = enc(a1), kb = enc(b1);
        encode_value(a2, ka);
        encode_value(b2, kb);
        ASSERT_EQ(byte_cmp(ka, kb), want) << debug_values(std::vector{a1, a2}) << " vs "
                                          << debug_values(std::vector{b1, b2});
        auto back = decode_index_key(ka, 1);
        if (a2.is_int()) {
            ASSERT_TRUE(back.has_value());
            ASSERT_EQ(back->values[0], a1);
        }
    }
}

// Random and truncated input never crashes or reads out of bounds (run under
// the sanitizers).
TEST(KeyCodecProperty, RandomAndTruncatedInput) {
    std::mt19937_64 rng(99);
    for (int i = 0; i < 20000; ++i) {
        size_t n = rng() % 24;
        Bytes b(n);
        for (auto& x : b) x = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 9 : rng());
        auto d = decode_value(b);
        if (d) {
            ASSERT_LE(d->consumed, b.size());
        }
        (void)decode_key(b);
        (void)decode_index_key(b, rng() % 3);
    }
    Bytes full = index_key(std::vector<Value>{Value::text(std::string("ab\0c", 4)), Value::floating(2.5)}, 9);
    for (size_t len = 0; len < full.size(); ++len) {
        auto r = decode_index_key(ByteView(full.data(), len), 2);
        ASSERT_FALSE(r.has_value()) << len;
        EXPECT_EQ(r.error().kind, ErrorKind::Storage);
    }
    EXPECT_TRUE(decode_index_key(full, 2).has_value());
}
