#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "types/cell_array.h"
#include "types/error.h"
#include "types/table.h"
#include "types/utf8.h"
#include "types/value.h"

using namespace zembrel;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

int sign(std::strong_ordering o) { return o < 0 ? -1 : o > 0 ? 1 : 0; }

Value I(int64_t v) { return Value::integer(v); }
Value F(double v) { return Value::floating(v); }
Value B(bool v) { return Value::boolean(v); }
Value T(std::string s) { return Value::text(std::move(s)); }
Value U(std::string s) { return Value::uuid(std::move(s)); }
Value D(std::string s) { return Value::date(std::move(s)); }
Value DT(std::string s) { return Value::datetime(std::move(s)); }
Value N() { return Value::null(); }

}  // namespace

TEST(ValueOrder, SqlCmpTable) {
    struct Case { Value a, b; int want; };
    const Case cases[] = {
        {I(1), F(1.0), 0},
        {I(0), F(-0.0), 1},
        {F(kNaN), F(kInf), 1},
        {F(-kNaN), F(-kInf), -1},
        {F(-0.0), F(0.0), -1},
        {T("b"), U("a000"), 1},
        {U("zzz"), D("0000"), -1},
        {D("0000"), U("zzz"), 1},
        {U("a"), DT("0"), -1},
        {N(), N(), 0},
        {N(), B(false), -1},
        {B(true), I(-100), -1},
        {I(5), B(false), 1},
        {F(1e300), T(""), -1},
        {T(""), I(5), 1},
        {T("ab"), T("abc"), -1},
        {T("b"), D("a"), 1},
        {D("2024"), DT("2024-01"), -1},
        {I(INT64_MIN), I(INT64_MAX), -1},
        {I(9007199254740993), F(9007199254740992.0), 0},  // through doubles
        {I(9007199254740993), I(9007199254740992), 1},     // exact
        {B(false), B(true), -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sign(Value::sql_cmp(c.a, c.b)), c.want) << c.a.debug() << " vs " << c.b.debug();
        EXPECT_EQ(sign(Value::sql_cmp(c.b, c.a)), -c.want) << c.b.debug() << " vs " << c.a.debug();
    }
}

TEST(ValueOrder, KeyCmpTable) {
    struct Case { Value a, b; int want; };
    const Case cases[] = {
        {I(1), F(0.5), -1},
        {I(1), F(1.0), -1},
        {T("abc"), U("abc"), 0},
        {T("b"), U("a"), 1},
        {D("2024-01-01"), T("9"), 1},
        {D("x"), DT("x"), -1},
        {N(), B(false), -1},
        {B(true), I(INT64_MIN), -1},
        {F(-0.0), F(0.0), -1},
        {F(kNaN), F(kInf), 1},
        {F(kInf), T(""), -1},
        {U("z"), D(""), -1},
        {DT(""), D("zzz"), 1},
        {T("a"), T(std::string("a\0", 2)), -1},
        {N(), N(), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sign(Value::key_cmp(c.a, c.b)), c.want) << c.a.debug() << " vs " << c.b.debug();
        EXPECT_EQ(sign(Value::key_cmp(c.b, c.a)), -c.want) << c.b.debug() << " vs " << c.a.debug();
    }
    KeyLess less;
    EXPECT_TRUE(less(std::vector<Value>{I(1)}, std::vector<Value>{I(1), N()}));
    EXPECT_TRUE(less(std::vector<Value>{I(1), T("a")}, std::vector<Value>{I(2)}));
    EXPECT_FALSE(less(std::vector<Value>{T("a")}, std::vector<Value>{U("a")}));
}

// The key image must agree with key_cmp wherever it decides: texts around
// the image's length with shared starts and NUL bytes, every kind.
TEST(ValueOrder, KeyPrefixAgreesWithKeyCmp) {
    std::mt19937_64 rng(7);
    auto text = [&] {
        std::string s(rng() % 20, 'a');
        for (char& c : s) c = "ab\0\xff"[rng() % 4];
        return s;
    };
    std::vector<Value> values;
    for (int i = 0; i < 400; ++i) {
        switch (rng() % 6) {
            case 0: values.push_back(I(static_cast<int64_t>(rng() % 7) - 3)); break;
            case 1: values.push_back(F(static_cast<double>(rng() % 7) / 2 - 1.5)); break;
            case 2: values.push_back(T(text())); break;
            case 3: values.push_back(U(text())); break;
            case 4: values.push_back(DT(text())); break;
            default: values.push_back(rng() % 2 ? N() : B(rng() % 2)); break;
        }
    }
    for (const Value& a : values) {
        for (const Value& b : values) {
            const auto pa = Value::key_prefix(a), pb = Value::key_prefix(b);
            const int want = sign(Value::key_cmp(a, b));
            if (pa != pb) {
                EXPECT_EQ(pa < pb ? -1 : 1, want) << a.debug() << " vs " << b.debug();
            } else if (Value::key_prefix_exact(a)) {
                EXPECT_EQ(want, 0) << a.debug() << " vs " << b.debug();
            }
            EXPECT_EQ(Value::key_prefix_exact(a), !a.has_text() || a.as_text().size() <= Value::kPrefixTextBytes);
        }
    }
}

TEST(ValueText, DisplayAndDebug) {
    struct Case { Value v; const char* display; const char* debug; };
    const Case cases[] = {
        {F(1.0), "1", "Float(1.0)"},
        {F(0.1), "0.1", "Float(0.1)"},
        {F(-0.0), "-0", "Float(-0.0)"},
        {F(0.0), "0", "Float(0.0)"},
        {F(-3.0), "-3", "Float(-3.0)"},
        {F(123.25), "123.25", "Float(123.25)"},
        {F(1e23), "100000000000000000000000", "Float(1e23)"},
        {F(1e21), "1000000000000000000000", "Float(1e21)"},
        {F(1.5e-7), "0.00000015", "Float(1.5e-7)"},
        {F(1e16), "10000000000000000", "Float(1e16)"},
        {F(9999999999999998.0), "9999999999999998", "Float(9999999999999998.0)"},
        {F(0.0001), "0.0001", "Float(0.0001)"},
        {F(0.00001), "0.00001", "Float(1e-5)"},
        {F(-2.5e20), "-250000000000000000000", "Float(-2.5e20)"},
        {F(kInf), "inf", "Float(inf)"},
        {F(-kInf), "-inf", "Float(-inf)"},
        {F(kNaN), "NaN", "Float(NaN)"},
        {F(5e-324), nullptr, "Float(5e-324)"},
        {I(INT64_MIN), "-9223372036854775808", "Int(-9223372036854775808)"},
        {I(5), "5", "Int(5)"},
        {B(true), "true", "Bool(true)"},
        {B(false), "false", "Bool(false)"},
        {N(), "NULL", "Null"},
        {T("a\"b"), "a\"b", "Text(\"a\\\"b\")"},
        {T("it's\\\n\r\t"), "it's\\\n\r\t", "Text(\"it's\\\\\\n\\r\\t\")"},
        {T(std::string("x\0y", 3)), nullptr, "Text(\"x\\0y\")"},
        {T("\x01\x7f"), nullptr, "Text(\"\\u{1}\\u{7f}\")"},
        {T("h\xC3\xA9\xE2\x80\x8B"), nullptr, "Text(\"h\xC3\xA9\\u{200b}\")"},
        {T("\xCC\x81" "a\xCC\x81"), nullptr, "Text(\"\\u{301}a\xCC\x81\")"},
        {U("0f"), "0f", "Uuid(\"0f\")"},
        {D("2024-1-5"), "2024-1-5", "Date(\"2024-1-5\")"},
        {DT("x"), "x", "DateTime(\"x\")"},
    };
    for (const auto& c : cases) {
        if (c.display) {
            EXPECT_EQ(c.v.display(), c.display);
        }
        EXPECT_EQ(c.v.debug(), c.debug);
    }
    std::string e300 = F(1e300).display();
    EXPECT_EQ(e300.size(), 301u);
    EXPECT_EQ(e300, "1" + std::string(300, '0'));
    EXPECT_EQ(F(1e300).debug(), "Float(1e300)");
    EXPECT_EQ(F(5e-324).display(), "0." + std::string(323, '0') + "5");
    // Shortest digits read back to the same double.
    for (double d : {0.1 + 0.2, 1.0 / 3.0, 123456789.123, 2.2250738585072014e-308, 1.7976931348623157e308}) {
        EXPECT_EQ(std::stod(F(d).display()), d);
    }
}

TEST(Utf8, ErrorTexts) {
    struct Case { std::string bytes; const char* want; };
    const Case cases[] = {
        {"plain \xC3\xA9 \xF0\x9F\x98\x80", nullptr},
        {"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
        {"\xC3", "incomplete utf-8 byte sequence from index 0"},
        {"a\xE2\x82", "incomplete utf-8 byte sequence from index 1"},
        {"\xE2\x82z", "invalid utf-8 sequence of 2 bytes from index 0"},
        {"\xF0\x9F\x98z", "invalid utf-8 sequence of 3 bytes from index 0"},
        {"\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xFF", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xE0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
    };
    for (const auto& c : cases) {
        auto err = utf8_error(c.bytes);
        if (c.want) {
            ASSERT_TRUE(err.has_value()) << c.want;
            EXPECT_EQ(*err, c.want);
        } else {
            EXPECT_FALSE(err.has_value()) << *err;
        }
    }
    struct CharCase { std::string bytes; size_t at; char32_t cp; size_t len; };
    const CharCase chars[] = {
        {"a\xC3\xA9", 1, 0xE9, 2},    {"\xF0\x9F\x98\x80", 0, 0x1F600, 4}, {"\xE2\x80\x83", 0, 0x2003, 3},
        {"\xC0\x89", 0, 0, 0},        {"\xED\xA0\x80", 0, 0, 0},           {"\xE2\x80", 0, 0, 0},
        {"a\xC3\xA9", 2, 0, 0},       {"\xF4\x90\x80\x80", 0, 0, 0},
    };
    for (const auto& c : chars) {
        size_t len = 99;
        EXPECT_EQ(utf8_char_at(c.bytes, c.at, len), c.cp) << c.at;
        EXPECT_EQ(len, c.len) << c.at;
    }
    // Lossy reading: one U+FFFD per maximal invalid subpart, as the error
    // texts above count them.
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> lossy[] = {
        {"plain \xC3\xA9 \xF0\x9F\x98\x80", "plain \xC3\xA9 \xF0\x9F\x98\x80"},
        {"\xE2\x82z", r + "z"},        {"\xF0\x9F\x98", r},          {"\xC0\x80", r + r},
        {"\xED\xA0\x80", r + r + r}, {"a\xFF\xFE" "b", "a" + r + r + "b"}, {"\xF4\x90", r + r},
    };
    for (const auto& [in, out] : lossy) EXPECT_EQ(utf8_lossy(in), out) << quoted_debug_text(in);
}

// ---- where a text lives: in line, on the heap, borrowed from an arena ----

namespace {

// Texts at the edges of the in-line room, with bytes that a signed char or a
// zero byte would mis-order.
std::vector<std::string> boundary_texts() {
    std::vector<std::string> out;
    for (size_t n : {0, 1, 7, 8, 13, 14, 15, 16, 17, 36, 300}) {
        out.push_back(std::string(n, 'a'));
        std::string mixed;
        for (size_t i = 0; i < n; ++i) mixed += static_cast<char>(i % 3 == 0 ? '\xC3' : i % 3 == 1 ? '\0' : 'z');
        out.push_back(mixed);
    }
    return out;
}

}  // namespace

TEST(ValueStore, TextsByLength) {
    TextArena arena;
    for (const std::string& s : boundary_texts()) {
        const bool fits = s.size() <= Value::kInlineText;
        for (ValueKind kind : {ValueKind::Text, ValueKind::Uuid, ValueKind::Date, ValueKind::DateTime}) {
            const Value owned = Value::with_text(kind, s);
            EXPECT_EQ(owned.kind(), kind);
            EXPECT_EQ(owned.as_text(), s);
            EXPECT_EQ(owned.text_store(), fits ? Value::TextStore::Inline : Value::TextStore::Heap) << s.size();

            const Value lent = Value::borrowed(kind, arena.store(s));
            EXPECT_EQ(lent.text_store(), fits ? Value::TextStore::Inline : Value::TextStore::Borrowed) << s.size();
            EXPECT_EQ(lent, owned);
            EXPECT_EQ(lent.display(), owned.display());
            EXPECT_EQ(lent.debug(), owned.debug());
            EXPECT_EQ(Value::key_prefix(lent), Value::key_prefix(owned));
            EXPECT_EQ(Value::key_prefix_exact(lent), s.size() <= Value::kPrefixTextBytes);

            // Copies and moves of a borrowing value own their text.
            Value copied = lent;
            EXPECT_NE(copied.text_store(), Value::TextStore::Borrowed);
            EXPECT_EQ(copied, owned);
            Value source = lent;
            Value moved = std::move(source);
            EXPECT_EQ(moved, owned);
            Value lent_again = Value::borrowed(kind, arena.store(s));
            Value moved_lent = std::move(lent_again);
            EXPECT_NE(moved_lent.text_store(), Value::TextStore::Borrowed);
            EXPECT_EQ(moved_lent.as_text(), s);
            EXPECT_NE(moved_lent.as_text().data(), lent_again.as_text().data()) << "a moved borrowed text is copied";
            Value assigned = I(7);
            assigned = lent;
            EXPECT_EQ(assigned, owned);
            assigned = Value::borrowed(kind, arena.store(s));
            EXPECT_NE(assigned.text_store(), Value::TextStore::Borrowed);
            EXPECT_EQ(assigned, owned);
        }
    }
}

TEST(ValueStore, NumbersAndSelfAssignment) {
    for (int64_t i : {int64_t{0}, int64_t{-1}, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()})
        EXPECT_EQ(Value(I(i)).as_int(), i);
    EXPECT_EQ(std::bit_cast<uint64_t>(Value(F(-0.0)).as_float()), std::bit_cast<uint64_t>(-0.0));
    EXPECT_TRUE(Value(B(true)).as_bool());
    Value v = T(std::string(40, 'q'));
    const Value& same = v;
    v = same;
    EXPECT_EQ(v.as_text(), std::string(40, 'q'));
    // A value moved out of its owner keeps its text after the arena goes.
    Value taken;
    {
        TextArena arena;
        Value lent(Value::lend, ValueKind::Text, arena.store(std::string(20, 'r')));
        ASSERT_EQ(lent.text_store(), Value::TextStore::Borrowed);
        taken = std::move(lent);
    }
    EXPECT_EQ(taken.as_text(), std::string(20, 'r'));
    EXPECT_EQ(taken.text_store(), Value::TextStore::Heap);
}

// The three orders and equality against the plain byte order of std::string.
TEST(ValueStore, OrdersAgreeWithStringModel) {
    std::mt19937 rng(7);
    TextArena arena;
    const std::string alphabet("\0\x01" "a-b\x7F\x80\xFF", 8);
    auto random_text = [&] {
        const size_t lengths[] = {0, 1, 6, 7, 8, 9, 13, 14, 15, 16, 20, 36};
        std::string s(lengths[rng() % std::size(lengths)], ' ');
        for (char& c : s) c = alphabet[rng() % alphabet.size()];
        return s;
    };
    auto make = [&](ValueKind kind, const std::string& s) {
        return rng() % 2 ? Value::with_text(kind, s) : Value::borrowed(kind, arena.store(s));
    };
    for (int round = 0; round < 20000; ++round) {
        std::string a = random_text(), b = random_text();
        if (rng() % 4 == 0) b = a.substr(0, rng() % (a.size() + 1));  // shared prefixes
        const ValueKind ka = rng() % 2 ? ValueKind::Text : ValueKind::Uuid;
        const ValueKind kb = rng() % 2 ? ValueKind::Text : ValueKind::Uuid;
        const Value va = make(ka, a), vb = make(kb, b);
        const int model = sign(a <=> b);
        EXPECT_EQ(sign(Value::key_cmp(va, vb)), model);
        EXPECT_EQ(sign(Value::sql_cmp(va, vb)), model);
        EXPECT_EQ(va == vb, ka == kb && a == b);
        const auto pa = Value::key_prefix(va), pb = Value::key_prefix(vb);
        if (pa != pb) {
            EXPECT_EQ(pa < pb ? -1 : 1, model);
        } else if (Value::key_prefix_exact(va)) {
            EXPECT_EQ(model, 0);
        }
    }
}

TEST(TextArena, CountsComeBackWhenArenasGo) {
    const size_t chunks = TextArena::live_chunks(), bytes = TextArena::live_bytes();
    {
        TextArena a;
        std::vector<std::string_view> views;
        for (int i = 0; i < 5000; ++i) views.push_back(a.store(std::string(static_cast<size_t>(i % 97), 'a' + i % 26)));
        views.push_back(a.store(std::string(1 << 20, 'L')));  // a chunk of its own
        EXPECT_GT(TextArena::live_chunks(), chunks);
        TextArena b = std::move(a);                    // the texts stay where they are
        TextArena c;
        c.store(std::string(100, 'c'));
        c = std::move(b);                              // both sets kept
        const TextArena copy = c;                      // starts empty
        EXPECT_EQ(copy.chunk_count(), 0u);
        for (size_t i = 0; i + 1 < views.size(); ++i)
            EXPECT_EQ(views[i], std::string(i % 97, static_cast<char>('a' + i % 26)));
        EXPECT_EQ(views.back(), std::string(1 << 20, 'L'));
        EXPECT_EQ(TextArena::live_bytes() - bytes, c.bytes_held());
    }
    EXPECT_EQ(TextArena::live_chunks(), chunks);
    EXPECT_EQ(TextArena::live_bytes(), bytes);
}

// Keeping equal elements in order is the differential SELECT and spill tests'.
// The arenas of several threads drawing on one room, and past its end on
// chunks of their own, keep every text where they stored it; the arena
// that keeps the room frees it with its chunks.
TEST(TextArena, ThreadsShareARoom) {
    const size_t chunks = TextArena::live_chunks(), bytes = TextArena::live_bytes();
    constexpr size_t kThreads = 4;
    auto text_of = [](size_t t, size_t i) {
        return std::to_string(t) + ":" + std::to_string(i) + std::string((t * 7919 + i * 104729) % 3000, 'a' + i % 26);
    };
    for (size_t room_bytes : {size_t{256} << 10, size_t{16} << 20}) {  // too little, then enough
        std::vector<std::vector<std::string_view>> views(kThreads);
        {
            TextRoom room(room_bytes, kThreads);
            std::vector<TextArena> arenas(kThreads);
            std::vector<std::thread> threads;
            for (size_t t = 0; t < kThreads; ++t)
                threads.emplace_back([&, t] {
                    arenas[t].draw_from(&room);
                    for (size_t i = 0; i < 2000; ++i) views[t].push_back(arenas[t].store(text_of(t, i)));
                });
            for (std::thread& thread : threads) thread.join();
            TextArena owner;
            for (TextArena& arena : arenas) {
                arena.draw_from(nullptr);
                owner = std::move(arena);
            }
            owner.keep(room);
            EXPECT_EQ(room.used(), 0u);
            const std::string_view later = owner.store(std::string(100, 'z'));
            for (size_t t = 0; t < kThreads; ++t)
                for (size_t i = 0; i < views[t].size(); ++i) ASSERT_EQ(views[t][i], text_of(t, i)) << room_bytes;
            EXPECT_EQ(later, std::string(100, 'z'));
            EXPECT_EQ(TextArena::live_bytes() - bytes, owner.bytes_held());
        }
        EXPECT_EQ(TextArena::live_chunks(), chunks);
        EXPECT_EQ(TextArena::live_bytes(), bytes);
    }
}

TEST(StableSort, SurvivesInconsistentComparator) {
    // sql_cmp across text kinds is not transitive; the sort must still end.
    std::vector<Value> mixed;
    for (int i = 0; i < 300; ++i) {
        std::string s(1, static_cast<char>('a' + i % 26));
        mixed.push_back(i % 3 == 0 ? T(s) : i % 3 == 1 ? U(s) : D(s));
    }
    stable_merge_sort(mixed, [](const Value& a, const Value& b) { return Value::sql_cmp(a, b) < 0; });
    EXPECT_EQ(mixed.size(), 300u);
}

// ---- coercion, defaults, column definitions, dates, UUIDs ----

#include <random>
#include <regex>

#include "hash_column/hash_column.h"
#include "types/coerce.h"
#include "types/dates.h"
#include "types/uuid.h"

namespace {

DataType DTy(DataTypeKind k) { return DataType::of(k); }

Column col(DataType t, std::optional<DefaultValue> def = std::nullopt, std::string name = "c") {
    Column c;
    c.name = std::move(name);
    c.data_type = t;
    c.default_value = std::move(def);
    return c;
}

}  // namespace

TEST(Coerce, KindAgainstColumnType) {
    struct Case { Value in; DataType type; std::optional<Value> out; const char* error; };
    const Case cases[] = {
        {I(3), DTy(DataTypeKind::Float), F(3.0), nullptr},
        {I(3), DTy(DataTypeKind::Int), I(3), nullptr},
        {F(3.0), DTy(DataTypeKind::Int), {}, "column 'c' expects INT, got Float(3.0)"},
        {T("5"), DTy(DataTypeKind::Int), {}, "column 'c' expects INT, got Text(\"5\")"},
        {I(1), DTy(DataTypeKind::Pk), {}, "column 'c' expects PK, got Int(1)"},
        {B(true), DTy(DataTypeKind::Int), {}, "column 'c' expects INT, got Bool(true)"},
        {B(true), DTy(DataTypeKind::Bool), B(true), nullptr},
        {F(2.5), DTy(DataTypeKind::Float), F(2.5), nullptr},
        {T("x"), DTy(DataTypeKind::Text), T("x"), nullptr},
        {T("x"), DTy(DataTypeKind::Float), {}, "column 'c' expects FLOAT, got Text(\"x\")"},
        {D("2024-01-01"), DTy(DataTypeKind::Date), {}, "column 'c' expects DATE, got Date(\"2024-01-01\")"},
        {U("u"), DTy(DataTypeKind::Text), {}, "column 'c' expects TEXT, got Uuid(\"u\")"},
        {DT("x"), DataType::str(5), {}, "column 'c' expects STRING(5), got DateTime(\"x\")"},
        {T("2024-1-5"), DTy(DataTypeKind::Date), D("2024-1-5"), nullptr},
        {T("2024-02-30"), DTy(DataTypeKind::Date), {}, "column 'c': invalid date '2024-02-30', expected yyyy-MM-dd"},
        {T("2024-01-05 10:30:00:250"), DTy(DataTypeKind::DateTime), DT("2024-01-05 10:30:00:250"), nullptr},
        {T("2024-01-05 10:30:00"), DTy(DataTypeKind::DateTime), {},
         "column 'c': invalid datetime '2024-01-05 10:30:00', expected yyyy-MM-dd HH:mm:ss:ms"},
        {T("abc"), DataType::str(2), {}, "column 'c': string length 3 exceeds STRING(2)"},
        {T("\xC3\xA9"), DataType::str(1), {}, "column 'c': string length 2 exceeds STRING(1)"},
        {T("ab"), DataType::str(2), T("ab"), nullptr},
        {T(""), DataType::str(0), T(""), nullptr},
    };
    for (const auto& c : cases) {
        auto r = types::coerce_value(c.in, col(c.type));
        if (c.out) {
            ASSERT_TRUE(r.has_value()) << c.in.debug() << " -> " << c.type.debug() << ": " << r.error().message;
            EXPECT_EQ(*r, *c.out);
        } else {
            ASSERT_FALSE(r.has_value()) << c.in.debug() << " -> " << c.type.debug();
            EXPECT_EQ(r.error().kind, ErrorKind::Type);
            EXPECT_EQ(r.error().message, c.error);
        }
    }
}

TEST(Coerce, NullTakesTheDefault) {
    EXPECT_EQ(*types::coerce_value(N(), col(DTy(DataTypeKind::Int))), N());
    EXPECT_EQ(*types::coerce_value(N(), col(DTy(DataTypeKind::Int), DefaultValue::today())), N());
    EXPECT_EQ(*types::coerce_value(N(), col(DTy(DataTypeKind::Int), DefaultValue::of(I(7)))), I(7));
    Value today = *types::coerce_value(N(), col(DTy(DataTypeKind::Date), DefaultValue::today()));
    EXPECT_EQ(today.kind(), ValueKind::Date);
    EXPECT_TRUE(std::regex_match(std::string(today.as_text()), std::regex(R"(\d{4}-\d{2}-\d{2})"))) << today.as_text();
    Value now = *types::coerce_value(N(), col(DTy(DataTypeKind::DateTime), DefaultValue::today()));
    EXPECT_EQ(now.kind(), ValueKind::DateTime);
    EXPECT_TRUE(std::regex_match(std::string(now.as_text()), std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3})")))
        << now.as_text();
    EXPECT_TRUE(types::parse_datetime(now.as_text(), "c").has_value());
    EXPECT_TRUE(types::parse_date(today.as_text()));
}

// Few cases: every hash takes ~19 MiB and tens of milliseconds.
TEST(Coerce, HashColumnsHashTextsAndTextDefaults) {
    Column c = col(DataType::str(3), DefaultValue::of(T("abc")), "pw");
    c.salt = "0b0e8a40-3d1c-4f55-9a77-2f7b1c0d9e11";
    const std::string want = *hash_column::hash_value("abc", *c.salt);
    auto written = types::coerce_value(T("abc"), c);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(*written, T(want));
    // The default reaches the column as the same hash, so a lookup by the
    // clear text finds rows that took the default.
    EXPECT_EQ(*types::coerce_value(N(), c), T(want));
    // The STRING(n) check measures the text, not the 97-character hash.
    EXPECT_EQ(types::coerce_value(T("abcd"), c).error().message, "column 'pw': string length 4 exceeds STRING(3)");
    // Non-text values in a HASH column are not hashed (and Int is refused).
    EXPECT_FALSE(types::coerce_value(I(1), c).has_value());
}

TEST(ColumnDef, ValidateDefault) {
    struct Case { Value v; DataType type; std::optional<Value> out; ErrorKind kind; const char* error; };
    const Case cases[] = {
        {I(5), DTy(DataTypeKind::Int), I(5), {}, nullptr},
        {I(5), DTy(DataTypeKind::Float), {}, ErrorKind::Execution,
         "column 'c': default value Int(5) does not match type FLOAT"},
        {N(), DTy(DataTypeKind::Int), {}, ErrorKind::Execution,
         "column 'c': default value Null does not match type INT"},
        {T("x"), DataType::str(0), {}, ErrorKind::Type, "column 'c': default string length 1 exceeds STRING(0)"},
        {T("x"), DataType::str(1), T("x"), {}, nullptr},
        {T("2024-1-5"), DTy(DataTypeKind::Date), D("2024-1-5"), {}, nullptr},
        {T("2024-13-01"), DTy(DataTypeKind::Date), {}, ErrorKind::Type,
         "column 'c': invalid date '2024-13-01', expected yyyy-MM-dd"},
        {T("2024-01-01 00:00:00:1000"), DTy(DataTypeKind::DateTime), {}, ErrorKind::Type,
         "column 'c': milliseconds must be 0-999, got 1000"},
        {T("t"), DTy(DataTypeKind::Pk), {}, ErrorKind::Execution,
         "column 'c': default value Text(\"t\") does not match type PK"},
        {D("2024-01-01"), DTy(DataTypeKind::Date), {}, ErrorKind::Execution,
         "column 'c': default value Date(\"2024-01-01\") does not match type DATE"},
        {F(1.5), DTy(DataTypeKind::Float), F(1.5), {}, nullptr},
        {F(kNaN), DTy(DataTypeKind::Float), {}, ErrorKind::Execution,
         "column 'c': default value must be a finite number"},
        {F(-kInf), DTy(DataTypeKind::Float), {}, ErrorKind::Execution,
         "column 'c': default value must be a finite number"},
        {B(false), DTy(DataTypeKind::Bool), B(false), {}, nullptr},
    };
    for (const auto& c : cases) {
        auto r = Column::validate_default(c.v, c.type, "c");
        if (c.out) {
            ASSERT_TRUE(r.has_value()) << c.v.debug() << " " << r.error().message;
            EXPECT_EQ(*r, *c.out);
        } else {
            ASSERT_FALSE(r.has_value()) << c.v.debug() << " -> " << c.type.debug();
            EXPECT_EQ(r.error().kind, c.kind);
            EXPECT_EQ(r.error().message, c.error);
        }
    }
}

TEST(Dates, DateRule) {
    struct Case { const char* text; bool ok; };
    const Case cases[] = {
        {"2024-01-05", true},   {"2024-1-5", true},     {"24-1-5", true},       {"2024-02-29", true},
        {"2023-02-29", false},  {"2024-02-30", false},  {"1900-02-29", false},  {"2000-02-29", true},
        {"12345-01-01", false}, {"+12345-01-01", true}, {"-0044-03-15", true},  {"+2024-01-05", true},
        {"-1-02-29", false},    {"-4-02-29", true},     {" 2024- 1- 5", true},  {"2024-01-05 ", false},
        {"2024-00-10", false},  {"2024-12-31", true},   {"2024-12-32", false},  {"2024-11-31", false},
        {"2024-01-0", false},   {"", false},            {"2024-01", false},     {"2024/01/05", false},
        {"\xE2\x80\x83" "2024-01-05", true},  // em space
        {"\xC2\xA0" "2024-01-05", true},      // no-break space
        {"\xE2\x80\x8B" "2024-01-05", false}, // zero width space is not white space
        {"2024-011-05", false}, {"+-1-01-01", false},   {"+999999999-01-01", false}, {"0000-01-01", true},
        {"\xC3", false},
        // Overlong forms of white space are not characters at all.
        {"\xC0\x89" "2024-01-05", false}, {"\xE0\x80\xA0" "2024-01-05", false},
        {"\xF0\x82\x80\x80" "2024-01-05", false}, {"\xC1\xA0" "2024-01-05", false},
        {"\xED\xA0\x80" "2024-01-05", false},
    };
    for (const auto& c : cases) EXPECT_EQ(types::parse_date(c.text), c.ok) << c.text;
    EXPECT_FALSE(types::parse_date(std::string("2024-01-05\0", 11)));
}

TEST(Dates, DateTimeRule) {
    const std::string bad_dt = "column 'c': invalid datetime '{}', expected yyyy-MM-dd HH:mm:ss:ms";
    struct Case { const char* text; const char* error; };
    const Case cases[] = {
        {"2024-01-05 10:30:00:250", nullptr},
        {"2024-01-05 10:30:00:007", nullptr},
        {"2024-01-05 10:30:00:+7", nullptr},
        {"2024-01-05 23:59:60:0", nullptr},
        {"2024-01-0510:30:00:1", nullptr},
        {"2024-1-5 \t 1: 2: 3:999", nullptr},
        {"2024-01-05 10:30:00", "invalid datetime"},
        {"2024-01-05 10:30:00:1:2", "invalid datetime"},
        {"2024-01-05 24:00:00:0", "invalid datetime"},
        {"2024-01-05 10:60:00:0", "invalid datetime"},
        {"2024-01-05 10:30:61:0", "invalid datetime"},
        {"2024-02-30 10:30:00:0", "invalid datetime"},
        {"2024-01-05 10:30:00 :0", "invalid datetime"},
        {"2024-01-05 10:30:00:1000", "column 'c': milliseconds must be 0-999, got 1000"},
        {"2024-01-05 10:30:00:4294967295", "column 'c': milliseconds must be 0-999, got 4294967295"},
        {"2024-01-05 10:30:00:4294967296", "column 'c': invalid milliseconds '4294967296'"},
        {"2024-01-05 10:30:00:", "column 'c': invalid milliseconds ''"},
        {"2024-01-05 10:30:00:-1", "column 'c': invalid milliseconds '-1'"},
        {"2024-01-05 10:30:00: 1", "column 'c': invalid milliseconds ' 1'"},
        {"2024-01-05 10:30:00:+", "column 'c': invalid milliseconds '+'"},
    };
    for (const auto& c : cases) {
        auto r = types::parse_datetime(c.text, "c");
        if (!c.error) {
            EXPECT_TRUE(r.has_value()) << c.text << ": " << r.error().message;
            continue;
        }
        ASSERT_FALSE(r.has_value()) << c.text;
        EXPECT_EQ(r.error().kind, ErrorKind::Type);
        std::string want = c.error;
        if (want == "invalid datetime") want = bad_dt.substr(0, bad_dt.find("{}")) + c.text + bad_dt.substr(bad_dt.find("{}") + 2);
        EXPECT_EQ(r.error().message, want);
    }
}

TEST(Uuid, VersionFourText) {
    const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::string prev;
    for (int i = 0; i < 50; ++i) {
        std::string u = types::new_uuid();
        ASSERT_TRUE(std::regex_match(u, form)) << u;
        EXPECT_NE(u, prev);
        prev = u;
    }
}

// Arbitrary bytes in texts never crash the text checks (run under the sanitizers).
TEST(TextChecksProperty, RandomBytes) {
    std::mt19937_64 rng(3);
    const char pool[] = {'0', '1', '9', '-', ':', '+', ' ', '\xC2', '\xA0', '\xE2', '\x80', '\x83', '\xF0', '\xFF', '\0'};
    for (int i = 0; i < 20000; ++i) {
        std::string s(rng() % 28, '\0');
        for (char& c : s) c = rng() % 2 ? pool[rng() % sizeof pool] : static_cast<char>(rng());
        (void)utf8_error(s);
        (void)T(s).debug();
        (void)types::parse_date(s);
        (void)types::parse_datetime(s, "c");
    }
}

// Every change a table's rows go through, at random, against a plain list of
// owned rows: both must hold the same rows, ids and views after each step.
TEST(FlatRows, RandomChangesMatchAListOfRows) {
    std::mt19937_64 rng(11);
    auto value = [&](uint64_t salt) -> Value {
        switch (rng() % 4) {
            case 0: return N();
            case 1: return I(static_cast<int64_t>(salt));
            case 2: return T(std::string(rng() % 40, static_cast<char>('a' + salt % 26)));  // short and heap texts
            default: return F(static_cast<double>(salt) / 4);
        }
    };
    for (size_t width : {size_t{0}, size_t{1}, size_t{3}}) {
        Table table;
        std::vector<Row> model;
        std::vector<uint64_t> model_ids;
        uint64_t next_id = 1;
        auto fresh = [&] {
            Row row;
            for (size_t c = 0; c < width; ++c) row.push_back(value(next_id * 7 + c));
            return row;
        };
        auto sorted_positions = [&](size_t n, size_t count) {
            std::vector<size_t> all(n);
            for (size_t i = 0; i < n; ++i) all[i] = i;
            std::shuffle(all.begin(), all.end(), rng);
            all.resize(std::min(count, n));
            std::sort(all.begin(), all.end());
            return all;
        };
        for (int step = 0; step < 3000; ++step) {
            if (step == 2950 && width > 0) {
                // Filled in place past the size the cells are mapped for:
                // the changes that follow move mapped cells.
                const size_t more = CellArray::kMapFrom / sizeof(Value) / width + 100;
                const std::span<Value> cells = table.rows.append_rows_to_construct(more, width);
                for (size_t r = 0; r < more; ++r) {
                    Row row = fresh();
                    std::ranges::uninitialized_copy(row, cells.subspan(r * width, width));
                    model.push_back(std::move(row));
                    model_ids.push_back(next_id);
                    table.rowids.push_back(next_id++);
                }
            }
            const size_t n = model.size();
            switch (rng() % 8) {
                case 0:
                case 1: {  // append, owned or viewed
                    Row row = fresh();
                    model.push_back(row);
                    model_ids.push_back(next_id);
                    if (rng() % 2) {
                        table.append_row(next_id, std::move(row));
                    } else {
                        table.rows.push_back(RowView(row));
                        table.rowids.push_back(next_id);
                    }
                    ++next_id;
                    break;
                }
                case 2: {  // replace in place
                    if (n == 0) break;
                    const size_t at = rng() % n;
                    Row row = fresh();
                    model[at] = row;
                    if (rng() % 2) table.rows.replace(at, std::move(row));
                    else table.rows.replace(at, RowView(row));
                    break;
                }
                case 3: {  // remove at sorted positions, then maybe restore them
                    const std::vector<size_t> at = sorted_positions(n, rng() % 5);
                    std::vector<Row> want;
                    std::vector<uint64_t> ids;
                    for (size_t p : at) want.push_back(model[p]), ids.push_back(model_ids[p]);
                    for (size_t k = at.size(); k-- > 0;) {
                        model.erase(model.begin() + static_cast<std::ptrdiff_t>(at[k]));
                        model_ids.erase(model_ids.begin() + static_cast<std::ptrdiff_t>(at[k]));
                    }
                    std::vector<Row> removed;
                    if (rng() % 2) {
                        removed = table.remove_rows(at);
                    } else {  // relocated into flat rows
                        FlatRows flat;
                        table.remove_rows(at, flat);
                        ASSERT_EQ(flat.size(), at.size());
                        removed = flat.to_rows();
                    }
                    ASSERT_EQ(removed, want);
                    if (rng() % 2 == 0 && !at.empty()) {  // positions are final ones: put back in order
                        table.restore_rows(at, ids, std::move(removed));
                        for (size_t k = 0; k < at.size(); ++k) {
                            model.insert(model.begin() + static_cast<std::ptrdiff_t>(at[k]), want[k]);
                            model_ids.insert(model_ids.begin() + static_cast<std::ptrdiff_t>(at[k]), ids[k]);
                        }
                    }
                    break;
                }
                case 4: {  // truncate, the cut rows handed back in order
                    if (rng() % 4 != 0) break;
                    const size_t keep = n == 0 ? 0 : n - rng() % (std::min<size_t>(n, 4) + 1);
                    std::vector<Row> cut;
                    table.rows.truncate(keep, &cut);
                    table.rowids.resize(keep);
                    ASSERT_EQ(cut, std::vector<Row>(model.begin() + static_cast<std::ptrdiff_t>(keep), model.end()));
                    model.resize(keep);
                    model_ids.resize(keep);
                    break;
                }
                case 5: {  // a column added at the end, or one dropped
                    if (rng() % 8 != 0) break;
                    if (rng() % 2 || width == 0) {
                        const Value fill = value(step);
                        table.rows.add_column(fill);
                        for (Row& row : model) row.push_back(fill);
                        ++width;
                    } else {
                        const size_t c = rng() % width;
                        table.rows.erase_column(c);
                        for (Row& row : model) row.erase(row.begin() + static_cast<std::ptrdiff_t>(c));
                        --width;
                    }
                    break;
                }
                case 6: {  // changed through the mutable cells
                    if (n == 0 || width == 0) break;
                    const size_t at = rng() % n, c = rng() % width;
                    const Value v = value(step);
                    table.rows.cells(at)[c] = v;
                    model[at][c] = v;
                    break;
                }
                default: {  // a copy and a view of a suffix read the same rows
                    const Table copy = table;
                    ASSERT_EQ(copy.rows, model);
                    const size_t from = n == 0 ? 0 : rng() % n;
                    const RowsView tail = RowsView(table.rows).from(from);
                    ASSERT_EQ(tail.size(), n - from);
                    for (size_t i = 0; i < tail.size(); ++i) ASSERT_EQ(tail[i], RowView(model[from + i]));
                    break;
                }
            }
            ASSERT_EQ(table.rows.size(), model.size()) << "step " << step;
            ASSERT_EQ(table.rowids, model_ids) << "step " << step;
            ASSERT_TRUE(table.rows == model) << "step " << step;
            ASSERT_EQ(table.rows.to_rows(), model) << "step " << step;
            if (!model.empty()) {
                ASSERT_EQ(table.rows.width(), width);
            }
        }
    }
}

// A view tests false only for no row at all; an empty row is a row.
TEST(FlatRows, ViewsOfEmptyRowsAreRows) {
    const Row empty;
    EXPECT_TRUE(bool(RowView(empty)));
    EXPECT_FALSE(bool(RowView()));
    FlatRows rows{Row{}, Row{}};
    EXPECT_EQ(rows.size(), 2u);
    EXPECT_TRUE(bool(rows[1]));
    EXPECT_TRUE(rows[1].empty());
    rows.truncate(1);
    EXPECT_EQ(rows.size(), 1u);
    rows.remove(std::vector<size_t>{0});
    EXPECT_TRUE(rows.empty());
}

// Cells borrowing their table's arena stay borrowed however the rows move
// inside the table (growth, removal, column changes, undo): a move would
// copy every long text to the heap. Rows leaving the table own theirs.
TEST(FlatRows, BorrowedTextsStayBorrowedInsideAndOwnedOutside) {
    TextArena arena;
    FlatRows rows;
    auto text_of = [](size_t i) { return "a text long enough to be borrowed #" + std::to_string(i); };
    for (size_t i = 0; i < 300; ++i) {  // no reserve: the cells grow and move several times
        std::span<Value> cells = rows.append_blank(2);
        cells[0] = Value::integer(static_cast<int64_t>(i));
        cells[1].reset_borrowed(ValueKind::Text, arena.store(text_of(i)));
    }
    auto all_borrowed = [&](size_t column) {
        return std::ranges::all_of(rows, [&](RowView r) { return r[column].text_store() == Value::TextStore::Borrowed; });
    };
    ASSERT_TRUE(all_borrowed(1));
    std::vector<Row> removed;
    rows.remove(std::vector<size_t>{0, 5, 299}, &removed);
    rows.add_column(Value::integer(7));
    rows.erase_column(0);
    EXPECT_TRUE(all_borrowed(0));
    ASSERT_EQ(removed.size(), 3u);
    for (const Row& r : removed) EXPECT_EQ(r[1].text_store(), Value::TextStore::Heap);
    EXPECT_EQ(removed[1][1].as_text(), text_of(5));
    std::vector<Row> back;
    for (Row& r : removed) back.push_back(Row{std::move(r[1]), Value::integer(7)});
    rows.insert_at(std::vector<size_t>{0, 5, 299}, std::move(back));
    EXPECT_EQ(rows.size(), 300u);
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i][0].as_text(), text_of(i)) << i;
    std::vector<Row> cut;
    rows.truncate(290, &cut);
    for (const Row& r : cut) EXPECT_NE(r[0].text_store(), Value::TextStore::Borrowed);
}

// A cell array grows on the heap, then into a mapping, then by remapping
// it: every cell keeps its value and where its text lives (a heap text is
// still owned once, a borrowed one still borrowed).
TEST(CellArray, GrowsOnTheHeapThenInMappingsWithoutChangingACell) {
    TextArena arena;
    CellArray cells;
    auto text_of = [](size_t i) { return "a text too long to sit in line, number " + std::to_string(i); };
    auto expected = [&](size_t i) {
        if (i % 3 == 0) return Value::integer(static_cast<int64_t>(i));
        return Value::with_text(ValueKind::Text, text_of(i));
    };
    constexpr size_t kCells = 8 * CellArray::kMapFrom / sizeof(Value);  // four growths past the first mapping
    for (size_t i = 0; i < kCells; ++i) {
        if (i % 3 == 2) cells.emplace_back().reset_borrowed(ValueKind::Text, arena.store(text_of(i)));
        else cells.push_back(expected(i));
    }
    const auto store_of = [](size_t i) {
        return i % 3 == 0 ? Value::TextStore::Inline : i % 3 == 1 ? Value::TextStore::Heap : Value::TextStore::Borrowed;
    };
    for (size_t i = 0; i < kCells; ++i) {
        ASSERT_EQ(cells[i], expected(i)) << i;
        ASSERT_EQ(cells[i].text_store(), store_of(i)) << i;
    }
    CellArray copy = cells;
    EXPECT_TRUE(copy == cells);
    const std::span<Value> more = cells.append_to_construct(1000);
    std::uninitialized_default_construct(more.begin(), more.end());
    EXPECT_TRUE(cells[kCells + 999].is_null());
    cells.truncate(10);
    copy = std::move(cells);
    ASSERT_EQ(copy.size(), 10u);
    EXPECT_EQ(copy[4], expected(4));
}

// ---- work split among threads, buffers for it ----

#include <atomic>

#include "types/huge_pages.h"
#include "types/parallel_parts.h"

// Every part of every pass runs once, whatever the parts against the crew's
// workers (fewer, as many, more, none), and a pass ends only when all of
// its parts have; a crew of one worker runs all on the caller.
TEST(Crew, EveryPartOnceAPassAtATime) {
    for (size_t workers : {size_t{1}, size_t{3}, size_t{8}}) {
        Crew crew(workers);
        std::vector<std::atomic<int>> done(12);
        for (size_t parts : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{12}, size_t{2}}) {
            for (auto& d : done) d.store(0);
            crew.run(parts, [&](size_t w) { done[w].fetch_add(1, std::memory_order_relaxed); });
            for (size_t w = 0; w < done.size(); ++w) ASSERT_EQ(done[w].load(), w < parts ? 1 : 0) << workers << " " << parts;
        }
    }
}

// A scratch buffer past the size it is mapped for keeps its items through
// growth, shrinking and copies as a vector does.
TEST(ScratchVector, LargeBuffersHoldTheirItems) {
    std::mt19937_64 rng(3);
    ScratchVector<uint64_t> got;
    std::vector<uint64_t> want;
    for (size_t n : {size_t{1000}, size_t{300'000}, size_t{20}, size_t{140'000}}) {
        while (want.size() < n) {
            want.push_back(rng());
            got.push_back(want.back());
        }
        want.resize(n);
        got.resize(n);
        ASSERT_TRUE(std::ranges::equal(got, want)) << n;
        const ScratchVector<uint64_t> copy = got;
        ASSERT_TRUE(std::ranges::equal(copy, want)) << n;
#if defined(__linux__)
        if (copy.size() * sizeof(uint64_t) >= Unwritten<uint64_t>::kMapFrom) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(copy.data()) % kHugePage, 0u) << n;
        }
#endif
    }
    got.resize(got.size() + 200'000);  // unwritten room, then written
    for (size_t i = want.size(); i < got.size(); ++i) got[i] = i;
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin()));
    EXPECT_EQ(got.back(), got.size() - 1);
}

// Buffers of several item sizes made and freed in turn under a
// ScratchReuse (as the sorts of one table's trees do) never share memory:
// each keeps what was written into it while the others come and go, in
// mappings carved from and joined back into the kept ones. Some are made
// before the scope and freed in it, some outlive it.
TEST(ScratchReuse, BuffersOfAnySizeNeverOverlap) {
    struct Wide {
        unsigned __int128 image;
        uint64_t row, mark;
    };
    using Narrow = ScratchVector<uint64_t>;
    using Broad = ScratchVector<Wide>;
    std::mt19937_64 rng(11);
    auto fill = [](auto& v, uint64_t tag) {
        for (size_t i = 0; i < v.size(); ++i) {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, Narrow>) v[i] = tag ^ i;
            else v[i] = Wide{tag, i, tag ^ i};
        }
    };
    auto holds = [](const auto& v, uint64_t tag) {
        for (size_t i = 0; i < v.size(); ++i) {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, Narrow>) {
                if (v[i] != (tag ^ i)) return false;
            } else if (v[i].image != tag || v[i].row != i || v[i].mark != (tag ^ i)) {
                return false;
            }
        }
        return true;
    };
    std::vector<std::pair<Narrow, uint64_t>> narrow;
    std::vector<std::pair<Broad, uint64_t>> broad;
    auto check_all = [&] {
        for (const auto& [v, tag] : narrow) ASSERT_TRUE(holds(v, tag)) << tag;
        for (const auto& [v, tag] : broad) ASSERT_TRUE(holds(v, tag)) << tag;
    };
    uint64_t next_tag = 1;
    auto make = [&] {
        // From below the mapped size to several 2 MiB pages, and empty.
        const size_t items = rng() % 8 == 0 ? 0 : (size_t{1} << 15) + rng() % (size_t{3} << 18);
        if (rng() % 2 == 0) {
            Narrow v(items);
            fill(v, next_tag);
            narrow.emplace_back(std::move(v), next_tag++);
        } else {
            Broad v(items / 4);
            fill(v, next_tag);
            broad.emplace_back(std::move(v), next_tag++);
        }
    };
    auto drop = [&] {
        if (!narrow.empty() && (broad.empty() || rng() % 2 == 0)) narrow.erase(narrow.begin() + static_cast<ptrdiff_t>(rng() % narrow.size()));
        else if (!broad.empty()) broad.erase(broad.begin() + static_cast<ptrdiff_t>(rng() % broad.size()));
    };
    for (int k = 0; k < 3; ++k) make();
    for (int round = 0; round < 4; ++round) {
        ScratchReuse reuse;
        for (int step = 0; step < 60; ++step) {
            if (narrow.size() + broad.size() > 5 || rng() % 3 == 0) drop();
            else make();
            if (step % 20 == 19) {
                ScratchReuse inner;  // the innermost serves, then hands back its own
                make();
                drop();
            }
            if (step == 30) reuse.release();
            check_all();
        }
    }
    check_all();
}

// What a pass frees, the next pass of the same size gets back, pages and all.
TEST(ScratchReuse, AFreedMappingServesTheNextBuffer) {
    ScratchReuse reuse;
    const size_t items = size_t{3} << 18;  // 6 MiB of uint64_t
    const uint64_t* first = nullptr;
    {
        ScratchVector<uint64_t> a(items);
        first = a.data();
    }
    {
        ScratchVector<uint64_t> b(items / 2);  // a part of it
        ScratchVector<uint64_t> c(items / 4);  // from what is left
#if defined(__linux__)
        EXPECT_EQ(b.data(), first);
        // b's 3 MiB take two whole 2 MiB pages.
        EXPECT_EQ(reinterpret_cast<const char*>(c.data()) - reinterpret_cast<const char*>(first), 2 * kHugePage);
#endif
    }
    ScratchVector<uint64_t> d(items);  // the parts joined back whole
#if defined(__linux__)
    EXPECT_EQ(d.data(), first);
#endif
}
