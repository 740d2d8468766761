// Catalog entries and the JSON forms of values, types and columns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>

#include "catalog/catalog_entry.h"
#include "catalog/catalog_store.h"
#include "catalog/json_reader.h"
#include "catalog/schema_json.h"
#include "keycodec/keycodec.h"
#include "test_util.h"

namespace zembrel {
namespace {

using testing::col;
using testing::random_text;
using testing::random_value;

CatalogEntry books() {
    CatalogEntry e;
    e.columns.push_back(col("id", DataType::of(DataTypeKind::Int), std::nullopt, std::nullopt, false));
    e.columns.push_back(col("title", DataType::str(80), DefaultValue::of(Value::text("untitled"))));
    e.root = 3;
    e.rowid_hint = 1026;
    IndexCatalogEntry ix;
    ix.name = "books_title";
    ix.columns = {"title"};
    ix.root = 7;
    e.indexes.push_back(ix);
    e.merge_policy = "lww";
    return e;
}

std::string error_of(std::string_view json) {
    auto r = CatalogEntry::from_json(json);
    if (r) return "<ok>";
    EXPECT_EQ(r.error().kind, ErrorKind::Storage);
    return r.error().message;
}

std::string value_json(const Value& v) {
    std::string out;
    auto st = schema_json::write_value(out, v);
    return st ? out : "<error: " + st.error().message + ">";
}

Result<Value> read_value(std::string_view json) {
    JsonReader in(json);
    auto v = schema_json::read_value(in);
    if (!v) return v;
    if (auto st = in.finish(); !st) return fail(st.error());
    return v;
}

TEST(CatalogEntryWriter, ExampleLineByteForByte) {
    auto json = books().to_json();
    ASSERT_TRUE(json);
    EXPECT_EQ(*json,
              R"({"columns":[{"name":"id","data_type":"Int","nullable":false},{"name":"title","data_type":{"Str":80},)"
              R"("default":{"Literal":{"Text":"untitled"}}}],"root":3,"rowid_hint":1026,"indexes":[{"name":"books_title",)"
              R"("columns":["title"],"root":7,"unique":false}],"merge_policy":"lww"})");
}

TEST(CatalogEntryWriter, OptionalPartsAndForms) {
    CatalogEntry e;
    e.columns.push_back(col("a", DataType::of(DataTypeKind::Date), DefaultValue::today()));
    e.columns.push_back(col("b", DataType::of(DataTypeKind::Text), DefaultValue::of(Value::null()), std::string("s1")));
    e.columns.push_back(col("c", DataType::of(DataTypeKind::Pk)));
    e.root = 18446744073709551615ull;
    e.rowid_counter = 99;  // never stored
    e.rowid_hint = 0;
    auto json = e.to_json();
    ASSERT_TRUE(json);
    EXPECT_EQ(*json,
              R"({"columns":[{"name":"a","data_type":"Date","default":"Today"},)"
              R"({"name":"b","data_type":"Text","default":{"Literal":"Null"},"salt":"s1"},)"
              R"({"name":"c","data_type":"Pk"}],"root":18446744073709551615,"rowid_hint":0,"indexes":[]})");

    // Shadow merges come last, as a map in name order; the array form knows
    // only the five fields before them.
    CatalogEntry marked = books();
    marked.shadow_merges = {{"work", "id-2"}, {"feature \"1\"", "id-1"}};
    auto line = marked.to_json();
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->ends_with(R"("merge_policy":"lww","shadow_merges":{"feature \"1\"":"id-1","work":"id-2"}})")) << *line;
    auto back = CatalogEntry::from_json(*line);
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(back->shadow_merges, marked.shadow_merges);
    auto later = CatalogEntry::from_json(R"({"shadow_merges":{"a":"x","a":"y"},"columns":[],"root":1,"rowid_hint":2})");
    ASSERT_TRUE(later) << later.error().message;
    EXPECT_EQ(later->shadow_merges, (std::map<std::string, std::string>{{"a", "y"}}));
}

TEST(ValueJson, WrittenForms) {
    struct Case {
        Value v;
        std::string json;
    } cases[] = {
        {Value::null(), R"("Null")"},
        {Value::integer(0), R"({"Int":0})"},
        {Value::integer(std::numeric_limits<int64_t>::min()), R"({"Int":-9223372036854775808})"},
        {Value::integer(std::numeric_limits<int64_t>::max()), R"({"Int":9223372036854775807})"},
        {Value::floating(1.0), R"({"Float":1.0})"},
        {Value::floating(-0.0), R"({"Float":-0.0})"},
        {Value::floating(0.1), R"({"Float":0.1})"},
        {Value::floating(1e300), R"({"Float":1e+300})"},
        {Value::boolean(true), R"({"Bool":true})"},
        {Value::boolean(false), R"({"Bool":false})"},
        {Value::uuid("u-1"), R"({"Uuid":"u-1"})"},
        {Value::date("2024-01-02"), R"({"Date":"2024-01-02"})"},
        {Value::datetime("2024-01-02 03:04:05"), R"({"DateTime":"2024-01-02 03:04:05"})"},
        // Escapes: quote, backslash, short forms, other controls as \u00xx
        // lower-case; DEL and non-ASCII stay raw.
        {Value::text(std::string("q\"b\\\b\t\n\f\r\x01\x1f\x7f\xc3\xa9", 14)),
         "{\"Text\":\"q\\\"b\\\\\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xc3\xa9\"}"},
        {Value::text(std::string("a\0b", 3)), R"({"Text":"a\u0000b"})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(value_json(c.v), c.json) << c.v.debug();
        auto back = read_value(c.json);
        ASSERT_TRUE(back) << c.json << ": " << back.error().message;
        EXPECT_EQ(*back, c.v) << c.json;
    }
}

TEST(ValueJson, UnwritableValuesAreRefusedWithoutTrace) {
    const double bad_floats[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity()};
    for (double f : bad_floats) {
        std::string out = "[";
        auto st = schema_json::write_value(out, Value::floating(f));
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().kind, ErrorKind::Storage);
        EXPECT_EQ(out, "[");
    }
    std::string out = "x";
    auto st = schema_json::write_value(out, Value::text("ab\xff"));
    ASSERT_FALSE(st);
    EXPECT_EQ(out, "x");
}

TEST(ValueJson, ReadingRules) {
    struct Case {
        std::string json;
        std::string expect;  // debug text of the value, or the error text
    } cases[] = {
        {R"({"Float":3})", "Float(3.0)"},
        {R"({"Float":-3})", "Float(-3.0)"},
        {R"({"Float":2.5e0})", "Float(2.5)"},
        {R"({"Null":null})", "Null"},
        {R"( {"Int" : -12} )", "Int(-12)"},
        {R"({"Float":null})", "invalid type: null, expected f64 at line 1 column 13"},
        {R"({"Int":9223372036854775808})", "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 26"},
        {R"({"Int":-9223372036854775809})", "invalid type: floating point `-9223372036854775809`, expected i64 at line 1 column 27"},
        {R"({"Int":1.0})", "invalid type: floating point `1.0`, expected i64 at line 1 column 10"},
        {R"("Int")", "invalid type: unit variant, expected newtype variant at line 1 column 5"},
        {R"("Nul")", "unknown variant `Nul`, expected one of `Int`, `Text`, `Float`, `Bool`, `Null`, `Uuid`, `Date`, "
                     "`DateTime` at line 1 column 5"},
        {R"({"int":1})", "unknown variant `int`, expected one of `Int`, `Text`, `Float`, `Bool`, `Null`, `Uuid`, `Date`, "
                         "`DateTime` at line 1 column 6"},
        {R"({"Bool":1})", "invalid type: integer `1`, expected a boolean at line 1 column 9"},
        {R"({"Text":1})", "invalid type: integer `1`, expected a string at line 1 column 9"},
        {R"({"Null":0})", "invalid type: integer `0`, expected unit at line 1 column 9"},
        {R"({"Int":1,"Text":"a"})", "invalid length: expected map with a single key at line 1 column 15"},
        {R"({})", "invalid type: map with no keys, expected enum Value at line 1 column 2"},
        {R"(5)", "invalid type: integer `5`, expected enum Value at line 1 column 1"},
        {R"("Null" x)", "trailing characters at line 1 column 8"},
        {"", "EOF while parsing a value at line 1 column 0"},
    };
    for (const auto& c : cases) {
        auto v = read_value(c.json);
        EXPECT_EQ(v ? v->debug() : v.error().message, c.expect) << c.json;
    }
}

TEST(DataTypeJson, ReadingRules) {
    struct Case {
        std::string json;
        std::string expect;
    } cases[] = {
        {R"("DateTime")", "DateTime"},
        {R"({"Str":65535})", "Str(65535)"},
        {R"({"Str":0})", "Str(0)"},
        {R"({"Bool":null})", "Bool"},
        {R"({"Str":65536})", "invalid value: integer `65536`, expected u16 at line 1 column 12"},
        {R"({"Str":-1})", "invalid value: integer `-1`, expected u16 at line 1 column 9"},
        {R"("Str")", "invalid type: unit variant, expected newtype variant at line 1 column 5"},
        {R"({"Int":5})", "invalid type: integer `5`, expected unit at line 1 column 8"},
        {R"("String")", "unknown variant `String`, expected one of `Int`, `Text`, `Float`, `Bool`, `Pk`, `Date`, "
                        "`DateTime`, `Str` at line 1 column 8"},
        {R"(["Int"])", "invalid type: sequence, expected enum DataType at line 1 column 1"},
    };
    for (const auto& c : cases) {
        JsonReader in(c.json);
        auto t = schema_json::read_data_type(in);
        Status end = t ? in.finish() : Status{};
        std::string got = !t ? t.error().message : !end ? end.error().message : t->debug();
        EXPECT_EQ(got, c.expect) << c.json;
    }
}

TEST(CatalogEntryReader, AcceptedForms) {
    const CatalogEntry expected = books();
    struct Case {
        std::string name;
        std::string json;
    } cases[] = {
        {"array form",
         R"([[{"name":"id","data_type":"Int","nullable":false},)"
         R"(["title",{"Str":80},{"Literal":{"Text":"untitled"}}]],3,1026,)"
         R"([["books_title",["title"],"",7,false]],"lww"])"},
        {"keys in any order, unknown keys at every level, whitespace",
         " \r\n\t{ \"merge_policy\" : \"lww\", \"extra\": {\"deep\": [1, {\"x\": null}]},\n"
         R"("indexes":[{"unique":false,"root":7,"columns":["title"],"name":"books_title","note":[]}],)"
         R"("rowid_hint":1026,"root":3,"columns":[{"nullable":false,"data_type":"Int","name":"id","x":1},)"
         R"({"name":"title","data_type":{"Str":80},"default":{"Literal":{"Text":"untitled"}},"salt":null,"nullable":true}]} )"
         "\n"},
        {"optional field forms",
         R"({"columns":[{"name":"id","data_type":{"Int":null},"nullable":false},)"
         R"({"name":"title","data_type":{"Str":80},"default":{"Literal":{"Text":"untitled"}}}],)"
         R"("root":3,"rowid_hint":1026,"indexes":[["books_title",[],"title",7]],"merge_policy":"lww"})"},
    };
    for (const auto& c : cases) {
        auto e = CatalogEntry::from_json(c.json);
        ASSERT_TRUE(e) << c.name << ": " << e.error().message;
        ASSERT_TRUE(e->derive_fields()) << c.name;
        CatalogEntry want = expected;
        ASSERT_TRUE(want.derive_fields());
        EXPECT_EQ(*e, want) << c.name;
        EXPECT_EQ(*e->to_json(), *expected.to_json()) << c.name;
    }

    // Defaults of a minimal entry: no indexes, no policy; null policy is none.
    for (std::string json : {R"({"columns":[],"root":1,"rowid_hint":2})", R"({"columns":[],"root":1,"rowid_hint":2,"merge_policy":null})",
                             R"([[],1,2])", R"([[],1,2,[],null])"}) {
        auto e = CatalogEntry::from_json(json);
        ASSERT_TRUE(e) << json << ": " << e.error().message;
        EXPECT_TRUE(e->indexes.empty());
        EXPECT_FALSE(e->merge_policy);
        EXPECT_EQ(e->root, 1u);
        EXPECT_EQ(e->rowid_hint, 2u);
        EXPECT_EQ(*e->to_json(), R"({"columns":[],"root":1,"rowid_hint":2,"indexes":[]})");
    }

    // Column defaults: nullable when absent, no default and no salt for null;
    // "Today" in both forms.
    auto e = CatalogEntry::from_json(
        R"({"columns":[{"name":"d","data_type":"Date","default":{"Today":null}},["e","DateTime","Today",null],)"
        R"(["f","Int",null,"salt",false]],"root":0,"rowid_hint":0})");
    ASSERT_TRUE(e) << e.error().message;
    ASSERT_EQ(e->columns.size(), 3u);
    EXPECT_EQ(e->columns[0], col("d", DataType::of(DataTypeKind::Date), DefaultValue::today()));
    EXPECT_EQ(e->columns[1], col("e", DataType::of(DataTypeKind::DateTime), DefaultValue::today()));
    EXPECT_EQ(e->columns[2], col("f", DataType::of(DataTypeKind::Int), std::nullopt, std::string("salt"), false));
}

TEST(CatalogEntryReader, Errors) {
    struct Case {
        std::string json;
        std::string error;
    } cases[] = {
        {R"({"columns":[],"rowid_hint":2})", "missing field `root` at line 1 column 29"},
        {R"({"root":1})", "missing field `columns` at line 1 column 10"},
        {"{\"columns\":[],\n\"root\":1\n}", "missing field `rowid_hint` at line 3 column 1"},
        {R"({"columns":[],"root":1,"root":2,"rowid_hint":2})", "duplicate field `root` at line 1 column 29"},
        {"{\"columns\":[{\"name\":\"a\",\n  \"name\":\"b\",\"data_type\":\"Int\"}],\"root\":1,\"rowid_hint\":2}",
         "duplicate field `name` at line 2 column 8"},
        {R"({"columns":[{"name":"a"}],"root":1,"rowid_hint":2})", "missing field `data_type` at line 1 column 24"},
        {R"({"columns":[],"root":1,"rowid_hint":2,"indexes":[{"name":"i","columns":["a"]}]})",
         "missing field `root` at line 1 column 77"},
        {R"({"columns":[],"root":1,"rowid_hint":2,"indexes":[{"root":1}]})", "missing field `name` at line 1 column 59"},
        {R"([[],1])", "invalid length 2, expected struct CatalogEntry with 5 elements at line 1 column 6"},
        {R"([[],1,2,[],null,6])", "invalid length 6, expected struct CatalogEntry with 5 elements at line 1 column 18"},
        {R"({"columns":[["a"]],"root":1,"rowid_hint":2})", "invalid length 1, expected struct Column with 5 elements at line 1 column 17"},
        {R"({"columns":[],"root":1,"rowid_hint":2,"indexes":[["i",[],"",]]})",
         "syntax error while parsing value - unexpected ']'; expected '[', '{', or a literal at line 1 column 61"},
        {R"({"columns":[],"root":1,"rowid_hint":2,"indexes":[["i",[],""]]})",
         "invalid length 3, expected struct IndexCatalogEntry with 5 elements at line 1 column 60"},
        {R"({"columns":[],"root":-1,"rowid_hint":2})", "invalid value: integer `-1`, expected u64 at line 1 column 23"},
        {R"({"columns":[],"root":18446744073709551616,"rowid_hint":2})",
         "invalid type: floating point `18446744073709551616`, expected u64 at line 1 column 41"},
        {R"({"columns":[],"root":"1","rowid_hint":2})", "invalid type: string \"1\", expected u64 at line 1 column 24"},
        {R"({"columns":{},"root":1,"rowid_hint":2})", "invalid type: map, expected a sequence at line 1 column 12"},
        {R"({"columns":[],"root":1,"rowid_hint":2,"merge_policy":5})", "invalid type: integer `5`, expected a string at line 1 column 54"},
        {R"({"columns":[],"root":1,"rowid_hint":2,"shadow_merges":["a"]})", "invalid type: sequence, expected a map at line 1 column 55"},
        {R"({"columns":[],"root":1,"rowid_hint":2,"shadow_merges":{"a":1}})", "invalid type: integer `1`, expected a string at line 1 column 60"},
        {R"({"columns":[],"root":1,"rowid_hint":2,"shadow_merges":{"a":"x","a":"y"},"shadow_merges":{}})",
         "duplicate field `shadow_merges` at line 1 column 87"},
        {R"({"columns":[5],"root":1,"rowid_hint":2})", "invalid type: integer `5`, expected struct Column at line 1 column 13"},
        {R"({"columns":[],"root":1,"rowid_hint":2,"indexes":[{"name":"i","root":1,"unique":"no"}]})",
         "invalid type: string \"no\", expected a boolean at line 1 column 83"},
        {R"({"columns":[],"root":1,"rowid_hint":2,"indexes":[{"name":"i","root":1,"columns":[1]}]})",
         "invalid type: integer `1`, expected a string at line 1 column 82"},
        {R"({"columns":[{"name":"a","data_type":"Int","default":"Literal"}],"root":1,"rowid_hint":2})",
         "invalid type: unit variant, expected newtype variant at line 1 column 61"},
        {R"({"columns":[{"name":"a","data_type":"Int","default":"Now"}],"root":1,"rowid_hint":2})",
         "unknown variant `Now`, expected one of `Today`, `Literal` at line 1 column 57"},
        {R"("x")", "invalid type: string \"x\", expected struct CatalogEntry at line 1 column 3"},
        {R"({"columns":[],"root":1,"rowid_hint":2} {})", "trailing characters at line 1 column 40"},
        {R"({"columns":[],"root":1,"rowid_hint":2}x)", "trailing characters at line 1 column 39"},
        {"", "EOF while parsing a value at line 1 column 0"},
        {"\xEF\xBB\xBF{\"columns\":[],\"root\":1,\"rowid_hint\":2}", "expected value at line 1 column 1"},
        {" \n ", "EOF while parsing a value at line 2 column 1"},
        {R"({"columns":[],"root":1,"rowid_hint":2)",
         "syntax error while parsing object - unexpected end of input; expected '}' at line 1 column 37"},
        {R"({"columns":[],"root":tru})", "syntax error while parsing value - invalid literal; last read: '\"root\":tru}' at line 1 column 25"},
        // The earlier problem wins over a later syntax error.
        {R"({"columns":[],"root":"x",,,})", "invalid type: string \"x\", expected u64 at line 1 column 24"},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(c.json), c.error) << c.json;
}

TEST(CatalogEntryReader, NestingLimit) {
    auto nested = [](int arrays) {
        return R"({"columns":[],"root":1,"rowid_hint":2,"x":)" + std::string(arrays, '[') + std::string(arrays, ']') + "}";
    };
    EXPECT_EQ(error_of(nested(126)), "<ok>");  // 127 open at once
    EXPECT_EQ(error_of(nested(127)), "recursion limit exceeded at line 1 column 169");
    // Far deeper than any stack could recurse: still a clean error.
    EXPECT_EQ(error_of(R"({"columns":[],"root":1,"rowid_hint":2,"x":)" + std::string(1000000, '[')).substr(0, 24), "recursion limit exceeded");
}

TEST(CatalogEntryDerive, LoadRules) {
    auto e = CatalogEntry::from_json(
        R"({"columns":[{"name":"a","data_type":"Int"},{"name":"k","data_type":"Pk"},{"name":"b","data_type":"Pk"},)"
        R"({"name":"c","data_type":"Text"}],"root":4,"rowid_hint":2049,"indexes":[)"
        R"({"name":"i1","column":"c","root":5},{"name":"i2","columns":["b","a"],"column":"c","root":6,"unique":true},)"
        R"({"name":"i3","columns":[],"column":"a","root":7}]})");
    ASSERT_TRUE(e) << e.error().message;
    ASSERT_TRUE(e->derive_fields());
    EXPECT_EQ(e->pk_column, std::optional<size_t>(1));
    EXPECT_EQ(e->rowid_counter, 2049u);
    ASSERT_EQ(e->indexes.size(), 3u);
    EXPECT_EQ(e->indexes[0].columns, std::vector<std::string>{"c"});
    EXPECT_EQ(e->indexes[0].positions, std::vector<size_t>{3});
    EXPECT_EQ(e->indexes[1].columns, (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(e->indexes[1].positions, (std::vector<size_t>{2, 0}));
    EXPECT_TRUE(e->indexes[1].unique);
    EXPECT_EQ(e->indexes[2].positions, std::vector<size_t>{0});
    // Written back, the one-column form becomes the list form.
    EXPECT_EQ(e->to_json()->find("\"column\""), std::string::npos);
    EXPECT_NE(e->to_json()->find(R"({"name":"i1","columns":["c"],"root":5,"unique":false})"), std::string::npos);

    auto none = CatalogEntry::from_json(R"({"columns":[{"name":"a","data_type":"Int"}],"root":1,"rowid_hint":0})");
    ASSERT_TRUE(none && none->derive_fields());
    EXPECT_FALSE(none->pk_column);

    // An index over a column the table lacks is refused, not pointed at column 0.
    for (std::string idx : {R"({"name":"ix","columns":["a","zz"],"root":1})", R"({"name":"ix","root":1})"}) {
        auto bad = CatalogEntry::from_json(R"({"columns":[{"name":"a","data_type":"Int"}],"root":1,"rowid_hint":0,"indexes":[)" +
                                           idx + "]}");
        ASSERT_TRUE(bad) << bad.error().message;
        auto st = bad->derive_fields();
        ASSERT_FALSE(st) << idx;
        EXPECT_EQ(st.error().kind, ErrorKind::Storage);
        EXPECT_EQ(st.error().message, idx.find("zz") != std::string::npos ? "index 'ix' names unknown column 'zz'"
                                                                           : "index 'ix' names unknown column ''");
    }
}

// ---- randomized -------------------------------------------------------------

CatalogEntry random_entry(std::mt19937_64& rng) {
    CatalogEntry e;
    size_t ncols = rng() % 5;
    for (size_t i = 0; i < ncols; ++i) {
        Column c;
        c.name = random_text(rng);
        auto kind = static_cast<DataTypeKind>(rng() % 8);
        c.data_type = kind == DataTypeKind::Str ? DataType::str(static_cast<uint16_t>(rng())) : DataType::of(kind);
        switch (rng() % 3) {
            case 0: break;
            case 1: c.default_value = DefaultValue::today(); break;
            default: c.default_value = DefaultValue::of(random_value(rng));
        }
        if (rng() % 3 == 0) c.salt = random_text(rng);
        c.nullable = rng() % 2;
        e.columns.push_back(std::move(c));
    }
    size_t nidx = rng() % 3;
    for (size_t i = 0; i < nidx; ++i) {
        IndexCatalogEntry ix;
        ix.name = random_text(rng);
        size_t n = rng() % 3;
        for (size_t j = 0; j < n; ++j) ix.columns.push_back(random_text(rng));
        ix.root = rng();
        ix.unique = rng() % 2;
        e.indexes.push_back(std::move(ix));
    }
    if (rng() % 2) e.merge_policy = random_text(rng);
    for (size_t i = rng() % 3; i > 0; --i) e.shadow_merges[random_text(rng)] = random_text(rng);
    e.root = rng();
    e.rowid_hint = rng() >> (rng() % 64);
    return e;
}

TEST(CatalogEntryRandom, WriterReaderRoundTrip) {
    std::mt19937_64 rng(1234);
    for (int i = 0; i < 2000; ++i) {
        CatalogEntry e = random_entry(rng);
        auto json = e.to_json();
        ASSERT_TRUE(json) << json.error().message;
        auto back = CatalogEntry::from_json(*json);
        ASSERT_TRUE(back) << *json << "\n" << back.error().message;
        EXPECT_EQ(*back, e) << *json;
    }
    // Rows, as sort spill files store them.
    for (int i = 0; i < 500; ++i) {
        Row row;
        size_t n = rng() % 6;
        for (size_t j = 0; j < n; ++j) row.push_back(random_value(rng));
        std::string out;
        ASSERT_TRUE(schema_json::write_row(out, row));
        JsonReader in(out);
        auto back = schema_json::read_row(in);
        ASSERT_TRUE(back) << out << ": " << back.error().message;
        ASSERT_TRUE(in.finish());
        EXPECT_EQ(*back, row) << out;
    }
}

TEST(CatalogEntryRandom, DamagedBytesNeverCrash) {
    std::mt19937_64 rng(99);
    std::string good = *books().to_json();
    static const char alphabet[] = "{}[]:,\"\\0123456789-+.eE truefalsnul\n\x80\xff\xc3";
    for (int i = 0; i < 10000; ++i) {
        std::string s;
        if (i % 2 == 0) {
            s = good;
            size_t edits = 1 + rng() % 4;
            for (size_t k = 0; k < edits && !s.empty(); ++k) {
                size_t at = rng() % s.size();
                switch (rng() % 3) {
                    case 0: s[at] = alphabet[rng() % (sizeof alphabet - 1)]; break;
                    case 1: s.erase(at, 1 + rng() % 8); break;
                    default: s.insert(at, 1, alphabet[rng() % (sizeof alphabet - 1)]);
                }
            }
        } else {
            size_t n = rng() % 64;
            for (size_t k = 0; k < n; ++k)
                s.push_back(rng() % 4 ? alphabet[rng() % (sizeof alphabet - 1)] : static_cast<char>(rng()));
        }
        auto e = CatalogEntry::from_json(s);
        if (e) {
            (void)e->derive_fields();
        } else {
            EXPECT_NE(e.error().message.find(" at line "), std::string::npos) << e.error().message;
        }
        JsonReader in(s);
        (void)schema_json::read_value(in);
    }
}


// ---- the catalog tree -----------------------------------------------------

std::span<const uint8_t> bytes_of(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

TEST(CatalogStore, WriteReplaceReopenAndLoad) {
    testing::TempDir dir;
    const std::string path = dir.path("cat.krvp");
    std::map<std::string, CatalogEntry> expected;
    {
        auto pager = testing::must_create(path);
        const uint64_t first_root = pager->catalog_root();
        // Enough entries, some large enough for overflow chains, to split
        // the catalog tree several times.
        for (int i = 0; i < 400; ++i) {
            CatalogEntry e = books();
            e.root = 100 + i;
            e.rowid_hint = i * 1024;
            if (i % 50 == 0) e.columns[1].default_value = DefaultValue::of(Value::text(std::string(5000, 'x')));
            std::string name = "table_" + std::to_string(i);
            ASSERT_TRUE(write_catalog_entry(*pager, name, e));
            expected[name] = e;
        }
        EXPECT_NE(pager->catalog_root(), first_root);
        EXPECT_TRUE(pager->header_dirty());
        // Replacing is whole: fewer columns, policy gone.
        CatalogEntry small;
        small.columns.push_back(col("only", DataType::of(DataTypeKind::Pk)));
        small.root = 9;
        small.rowid_hint = 77;
        small.rowid_counter = 5000;  // never stored
        ASSERT_TRUE(write_catalog_entry(*pager, "table_7", small));
        expected["table_7"] = small;
        // An entry that cannot be encoded touches nothing.
        const uint64_t root_before = pager->catalog_root();
        CatalogEntry bad = small;
        bad.columns[0].default_value = DefaultValue::of(Value::floating(INFINITY));
        auto st = write_catalog_entry(*pager, "table_8", bad);
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().message.rfind("catalog encode failed: ", 0), 0u) << st.error().message;
        EXPECT_EQ(pager->catalog_root(), root_before);
        ASSERT_TRUE(pager->commit());
    }
    auto reopened = Pager::open(std::make_shared<RealVfs>(), path);
    ASSERT_TRUE(reopened) << reopened.error().message;
    auto loaded = load_catalog_entries(**reopened);
    ASSERT_TRUE(loaded) << loaded.error().message;
    ASSERT_EQ(loaded->size(), expected.size());
    // Key order of Text keys is the names' byte order.
    auto want = expected.begin();
    for (const auto& [name, entry] : *loaded) {
        ASSERT_EQ(name, want->first);
        CatalogEntry derived = want->second;
        ASSERT_TRUE(derived.derive_fields());
        EXPECT_EQ(entry, derived) << name;
        ++want;
    }
    const auto& t7 = (*loaded)[std::distance(expected.begin(), expected.find("table_7"))].second;
    EXPECT_EQ(t7.rowid_counter, 77u);
    EXPECT_EQ(t7.pk_column, std::optional<size_t>(0));

    // A read snapshot sees the same records (not derived).
    auto snap = (*reopened)->snapshot();
    ASSERT_TRUE(snap) << snap.error().message;
    auto from_snapshot = load_catalog_entries(**snap);
    ASSERT_TRUE(from_snapshot) << from_snapshot.error().message;
    ASSERT_EQ(from_snapshot->size(), expected.size());
    EXPECT_EQ((*from_snapshot)[0].first, expected.begin()->first);
    EXPECT_EQ((*from_snapshot)[0].second.root, expected.begin()->second.root);
}

TEST(CatalogStore, DamagedRecordsFailTheLoad) {
    testing::TempDir dir;
    struct Case {
        std::vector<uint8_t> key;
        std::string value;
        std::string error;
    } cases[] = {
        {keycodec::catalog_key("t"), R"({"columns":[],"rowid_hint":1})",
         "corrupt catalog entry 't': missing field `root` at line 1 column 29"},
        {keycodec::catalog_key("t"),
         R"({"columns":[{"name":"a","data_type":"Int"}],"root":1,"rowid_hint":1,"indexes":[{"name":"ix","columns":["b"],"root":2}]})",
         "corrupt catalog entry 't': index 'ix' names unknown column 'b'"},
        {keycodec::table_key(5), R"({"columns":[],"root":1,"rowid_hint":1})", "invalid catalog key: Int(5)"},
        {{0x04, 'a'}, R"({"columns":[],"root":1,"rowid_hint":1})", ""},  // key codec's own error
    };
    int n = 0;
    for (const auto& c : cases) {
        auto pager = testing::must_create(dir.path("d" + std::to_string(n++) + ".krvp"));
        ASSERT_TRUE(write_catalog_entry(*pager, "fine", books()));
        auto root = BPlusTree::insert(*pager, pager->catalog_root(), c.key, bytes_of(c.value));
        ASSERT_TRUE(root) << root.error().message;
        pager->set_catalog_root(*root);
        auto loaded = load_catalog_entries(*pager);
        ASSERT_FALSE(loaded) << c.value;
        EXPECT_EQ(loaded.error().kind, ErrorKind::Storage);
        if (!c.error.empty()) {
            EXPECT_EQ(loaded.error().message, c.error);
        } else {
            auto direct = keycodec::decode_key(c.key);
            ASSERT_FALSE(direct);
            EXPECT_EQ(loaded.error().message, direct.error().message);
        }
    }
}

}  // namespace
}  // namespace zembrel
