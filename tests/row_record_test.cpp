#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "test_util.h"
#include "storage/row_record.h"

using namespace zembrel;
using zembrel::testing::hex_bytes;
using namespace zembrel::storage;

// Each row's bytes decode back to it; bad bytes give the decoder's message.
TEST(RowRecord, BytesAndMessages) {
    struct Case { std::optional<Row> row; const char* bytes; const char* message = nullptr; };
    const Case cases[] = {
        {Row{Value::integer(1), Value::text("ab"), Value::null()}, "03 00, 01 01 00 00 00 00 00 00 00, 04 02 00 00 00 61 62, 00"},
        {Row{}, "00 00"},
        {Row{Value::floating(1.0), Value::boolean(true), Value::boolean(false)}, "03 00, 02 00 00 00 00 00 00 F0 3F, 03 01, 03 00"},
        {Row{Value::integer(-2)}, "01 00, 01 FE FF FF FF FF FF FF FF"},
        {Row{Value::uuid("u"), Value::date(""), Value::datetime("d")},
         "03 00, 05 01 00 00 00 75, 06 00 00 00 00, 07 01 00 00 00 64"},
        {{}, "01 00 09", "invalid value tag: 9"},
        {{}, "01", "unexpected end of file"},
        {{}, "", "unexpected end of file"},
        {{}, "02 00 00", "unexpected end of file"},
        {{}, "01 00 01 00 00", "unexpected end of file"},
        {{}, "01 00 03", "unexpected end of file"},
        {{}, "01 00 04 05 00 00", "unexpected end of file"},
        {{}, "01 00 04 05 00 00 00 61", "unexpected end of file"},
        {{}, "01 00 04 FF FF FF FF 61", "unexpected end of file"},
        {{}, "01 00 04 02 00 00 00 61 C3", "invalid UTF-8: incomplete utf-8 byte sequence from index 1"},
        {{}, "01 00 07 01 00 00 00 FF", "invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 0"},
        {{}, "FF FF 00", "unexpected end of file"},
    };
    for (const auto& c : cases) {
        auto back = decode_row(hex_bytes(c.bytes));
        if (c.message) {
            ASSERT_FALSE(back.has_value()) << c.bytes;
            EXPECT_EQ(back.error().kind, ErrorKind::Storage);
            EXPECT_EQ(back.error().message, c.message) << c.bytes;
            continue;
        }
        auto b = encode_row(*c.row);
        ASSERT_TRUE(b.has_value());
        EXPECT_EQ(*b, hex_bytes(c.bytes)) << debug_values(*c.row);
        EXPECT_EQ(encoded_row_size(*c.row), b->size());
        ASSERT_TRUE(back.has_value()) << back.error().message;
        EXPECT_EQ(*back, *c.row);
    }
    // Trailing bytes are ignored; a non-zero bool byte is true.
    auto r = decode_row(hex_bytes("01 00 03 05 EE EE"));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, Row{Value::boolean(true)});
    // NaN payloads and -0.0 survive bit for bit.
    Row floats{Value::floating(-0.0), Value::floating(std::numeric_limits<double>::quiet_NaN())};
    EXPECT_EQ(*decode_row(*encode_row(floats)), floats);
}

TEST(RowRecord, CursorAndLimits) {
    Bytes b;
    ASSERT_TRUE(encode_value(b, Value::text("hi")));
    ASSERT_TRUE(encode_value(b, Value::integer(7)));
    Cursor c{b, 0};
    EXPECT_EQ(*decode_value(c), Value::text("hi"));
    EXPECT_EQ(*decode_value(c), Value::integer(7));
    EXPECT_EQ(decode_value(c).error().message, "unexpected end of file");

    // A failed string read leaves the cursor where it was.
    Bytes s = hex_bytes("03 00 00 00 61");
    Cursor sc{s, 0};
    EXPECT_FALSE(decode_string(sc).has_value());
    EXPECT_EQ(sc.pos, 0u);

    // The count never wraps: 65535 values pass, 65536 are refused.
    Row wide(65535);
    auto ok = encode_row(wide);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(decode_row(*ok)->size(), 65535u);
    wide.push_back(Value::null());
    auto too_wide = encode_row(wide);
    ASSERT_FALSE(too_wide.has_value());
    EXPECT_EQ(too_wide.error().kind, ErrorKind::Storage);
    EXPECT_EQ(encoded_row_size(wide).error(), too_wide.error());
    Bytes keep = hex_bytes("AA");
    EXPECT_FALSE(encode_row_into(keep, wide).has_value());
    EXPECT_EQ(keep, hex_bytes("AA"));
}

// Random and truncated records never crash or read out of bounds (run under
// the sanitizers).
TEST(RowRecordProperty, RandomAndTruncatedInput) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; ++i) {
        Bytes b(rng() % 32);
        for (auto& x : b) x = static_cast<std::uint8_t>(rng() % 3 == 0 ? rng() % 9 : rng());
        (void)decode_row(b);
    }
    Row row{Value::text("h\xC3\xA9llo"), Value::integer(-5), Value::floating(2.5), Value::boolean(true),
            Value::null(), Value::uuid("0f"), Value::date("2024-01-01"), Value::datetime("")};
    Bytes full = *encode_row(row);
    for (size_t len = 0; len < full.size(); ++len) {
        auto r = decode_row(ByteView(full.data(), len));
        ASSERT_FALSE(r.has_value()) << len;
        EXPECT_EQ(r.error().kind, ErrorKind::Storage);
    }
    EXPECT_EQ(*decode_row(full), row);
}
