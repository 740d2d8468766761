#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "types/error.h"
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

TEST(ValueText, ListsTypesErrors) {
    std::vector<Value> key{I(5), T("a")};
    EXPECT_EQ(debug_values(key), "[Int(5), Text(\"a\")]");
    EXPECT_EQ(debug_values({}), "[]");

    struct TypeCase { DataType t; const char* display; const char* debug; };
    const TypeCase types[] = {
        {DataType::of(DataTypeKind::Int), "INT", "Int"},
        {DataType::of(DataTypeKind::Text), "TEXT", "Text"},
        {DataType::of(DataTypeKind::Float), "FLOAT", "Float"},
        {DataType::of(DataTypeKind::Bool), "BOOL", "Bool"},
        {DataType::of(DataTypeKind::Pk), "PK", "Pk"},
        {DataType::of(DataTypeKind::Date), "DATE", "Date"},
        {DataType::of(DataTypeKind::DateTime), "DATETIME", "DateTime"},
        {DataType::str(0), "STRING(0)", "Str(0)"},
        {DataType::str(255), "STRING(255)", "Str(255)"},
        {DataType::str(65535), "STRING(65535)", "Str(65535)"},
    };
    for (const auto& c : types) {
        EXPECT_EQ(c.t.display(), c.display);
        EXPECT_EQ(c.t.debug(), c.debug);
    }

    EXPECT_EQ(EngineError::type("bad value").display(), "Type error: bad value");
    EXPECT_EQ(EngineError::parse("x").display(), "Parse error: x");
    EXPECT_EQ(EngineError::execution("x").display(), "Execution error: x");
    EXPECT_EQ(EngineError::storage("x").display(), "Storage error: x");
    EXPECT_EQ(EngineError::storage("empty key").debug(), "Storage(\"empty key\")");
    EXPECT_EQ(EngineError::parse("say \"hi\"").debug(), "Parse(\"say \\\"hi\\\"\")");
}

TEST(ValueEquality, StructuralAndTableLookup) {
    EXPECT_EQ(F(kNaN), F(kNaN));
    EXPECT_NE(F(0.0), F(-0.0));
    EXPECT_NE(I(1), F(1.0));
    EXPECT_NE(T("a"), U("a"));
    EXPECT_EQ(T("a"), T("a"));
    Table t;
    t.columns.push_back(Column{"a", DataType::of(DataTypeKind::Int), {}, {}, true});
    t.columns.push_back(Column{"b", DataType::of(DataTypeKind::Int), {}, {}, true});
    EXPECT_EQ(t.column_index("b"), 1u);
    EXPECT_FALSE(t.column_index("c").has_value());
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
}

TEST(StableSort, KeepsEqualOrderAndSurvivesInconsistentComparator) {
    std::vector<std::pair<int, int>> v;
    for (int i = 0; i < 1000; ++i) v.push_back({(i * 7919) % 13, i});
    stable_merge_sort(v, [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 1; i < v.size(); ++i) {
        ASSERT_LE(v[i - 1].first, v[i].first);
        if (v[i - 1].first == v[i].first) {
            ASSERT_LT(v[i - 1].second, v[i].second);
        }
    }
    // sql_cmp across text kinds is not transitive; the sort must still end.
    std::vector<Value> mixed;
    for (int i = 0; i < 300; ++i) {
        std::string s(1, static_cast<char>('a' + i % 26));
        mixed.push_back(i % 3 == 0 ? T(s) : i % 3 == 1 ? U(s) : D(s));
    }
    stable_merge_sort(mixed, [](const Value& a, const Value& b) { return Value::sql_cmp(a, b) < 0; });
    EXPECT_EQ(mixed.size(), 300u);
}
