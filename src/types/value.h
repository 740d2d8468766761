// Values, rows, column types, columns, tables and the in-memory database.
// Every type owns what it holds; copies are deep.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types/error.h"

namespace zembrel {


// Kind numbers fix the order of the kinds (not the stored tags).
enum class ValueKind : unsigned char { Int = 0, Text = 1, Float = 2, Bool = 3, Null = 4, Uuid = 5, Date = 6, DateTime = 7 };

class Value {
public:
    Value() = default;  // Null
    static Value null() { return Value(); }
    static Value integer(int64_t v) { Value x; x.kind_ = ValueKind::Int; x.num_.i = v; return x; }
    static Value floating(double v) { Value x; x.kind_ = ValueKind::Float; x.num_.f = v; return x; }
    static Value boolean(bool v) { Value x; x.kind_ = ValueKind::Bool; x.num_.b = v; return x; }
    static Value text(std::string s) { return with_text(ValueKind::Text, std::move(s)); }
    static Value uuid(std::string s) { return with_text(ValueKind::Uuid, std::move(s)); }
    static Value date(std::string s) { return with_text(ValueKind::Date, std::move(s)); }
    static Value datetime(std::string s) { return with_text(ValueKind::DateTime, std::move(s)); }
    // A text-carrying value of the given kind (Text, Uuid, Date or DateTime).
    static Value with_text(ValueKind k, std::string s) { Value x; x.kind_ = k; x.text_ = std::move(s); return x; }

    ValueKind kind() const { return kind_; }
    bool is_null() const { return kind_ == ValueKind::Null; }
    bool is_int() const { return kind_ == ValueKind::Int; }
    bool is_float() const { return kind_ == ValueKind::Float; }
    bool is_bool() const { return kind_ == ValueKind::Bool; }
    // True for Text, Uuid, Date and DateTime: the kinds that carry a text.
    bool has_text() const {
        return kind_ == ValueKind::Text || kind_ == ValueKind::Uuid || kind_ == ValueKind::Date ||
               kind_ == ValueKind::DateTime;
    }

    // Payload accessors; calling one for another kind is a programming error.
    int64_t as_int() const { return num_.i; }
    double as_float() const { return num_.f; }
    bool as_bool() const { return num_.b; }
    const std::string& as_text() const { return text_; }
    std::string& mutable_text() { return text_; }

    // SQL order: ORDER BY, comparison operators, MIN/MAX, merge joins.
    static std::strong_ordering sql_cmp(const Value& a, const Value& b);
    // Key order: indexes, GROUP BY, hash joins, IN, unique checks, shadow merge.
    static std::strong_ordering key_cmp(const Value& a, const Value& b);
    // A coarse image of the key order in one number: key_prefix(a) <
    // key_prefix(b) implies key_cmp(a, b) < 0. Equal prefixes mean equal
    // keys unless the value is a text longer than kPrefixTextBytes (key_prefix_exact
    // false). Sorting by it first leaves key_cmp to the few ties.
    static unsigned __int128 key_prefix(const Value& v);
    static constexpr size_t kPrefixTextBytes = 14;
    static bool key_prefix_exact(const Value& v) { return !v.has_text() || v.text_.size() <= kPrefixTextBytes; }

    // Cell text, as result sets show it (Float 1.0 -> "1", Null -> "NULL").
    std::string display() const;
    // Diagnostic text used in messages: Int(5), Text("a"), Float(1.0), Null.
    std::string debug() const;

    // Structural equality (same kind, same payload; floats by bit pattern).
    bool operator==(const Value& o) const;

private:
    ValueKind kind_ = ValueKind::Null;
    union {
        int64_t i;
        double f;
        bool b;
    } num_{0};
    std::string text_;
};

using Row = std::vector<Value>;

// "[" Debug texts joined by ", " "]".
std::string debug_values(std::span<const Value> values);

// Strict weak "less" adaptor for the key order, for ordered containers.
// A lone Value also looks up a key of values as the one-value key.
struct KeyLess {
    using is_transparent = void;
    bool operator()(const Value& a, const Value& b) const { return Value::key_cmp(a, b) < 0; }
    bool operator()(const std::vector<Value>& a, const std::vector<Value>& b) const;
    bool operator()(const std::vector<Value>& a, const Value& b) const {
        return a.empty() || cmp(a.front(), b) < 0;
    }
    bool operator()(const Value& a, const std::vector<Value>& b) const {
        if (b.empty()) return false;
        const auto c = cmp(a, b.front());
        return c < 0 || (c == 0 && b.size() > 1);
    }

private:
    // Integer keys, the common case of a lookup, compared in line.
    static std::strong_ordering cmp(const Value& a, const Value& b) {
        if (a.is_int() && b.is_int()) return a.as_int() <=> b.as_int();
        return Value::key_cmp(a, b);
    }
};

enum class DataTypeKind : uint16_t { Int = 0, Text = 1, Float = 2, Bool = 3, Pk = 4, Date = 5, DateTime = 6, Str = 7 };

struct DataType {
    DataTypeKind kind = DataTypeKind::Int;
    uint16_t size = 0;  // only Str uses it

    static DataType of(DataTypeKind k) { return {k, 0}; }
    static DataType str(uint16_t n) { return {DataTypeKind::Str, n}; }

    std::string display() const;  // INT, TEXT, ..., STRING(n)
    std::string debug() const;    // Int, Text, ..., Str(n)
    bool operator==(const DataType&) const = default;
};

struct DefaultValue {
    enum class Kind : unsigned char { Today, Literal };
    Kind kind = Kind::Literal;
    Value literal;  // only for Literal

    static DefaultValue today() { return {Kind::Today, Value()}; }
    static DefaultValue of(Value v) { return {Kind::Literal, std::move(v)}; }
    bool is_today() const { return kind == Kind::Today; }
    bool operator==(const DefaultValue&) const = default;
};

struct Column {
    std::string name;
    DataType data_type;
    std::optional<DefaultValue> default_value;
    std::optional<std::string> salt;  // present exactly for HASH columns
    bool nullable = true;

    // A column from the parts of a parsed column definition (name, type,
    // default, nullable, HASH): a Literal default goes through
    // validate_default, Today is kept untested, a HASH column gets a fresh
    // UUID salt, a Pk column is never nullable. Defined in types/coerce.cpp.
    static Result<Column> from_def(std::string name, DataType data_type, std::optional<DefaultValue> default_value,
                                   bool nullable, bool hash);
    // The validated, possibly converted default for a column of `type`
    // (Text becomes Date/DateTime for those types). Defined in types/coerce.cpp.
    static Result<Value> validate_default(const Value& value, DataType type, std::string_view column_name);

    bool operator==(const Column&) const = default;
};

struct Table {
    std::string name;
    std::vector<Column> columns;
    std::vector<Row> rows;
    std::vector<uint64_t> rowids;  // parallel to rows
    uint64_t next_rowid = 1;

    // Position of the named column, if any.
    std::optional<size_t> column_index(std::string_view column) const;
    // rowids become 1..n and next_rowid n + 1, unconditionally.
    void renumber_rowids();
    // Position of the row with this row id. Ids ascend along the rows (one
    // probe when they run 1..n, else a binary search); ids that do not
    // ascend (never made by this engine) are still found by a walk.
    std::optional<size_t> position_of_rowid(uint64_t rowid) const;
};

// The renumbering rule: when the table's rowids and rows differ in length,
// rowids become 1..n and next_rowid is raised to n + 1 unless it is already
// above n. Returns whether the row ids changed.
bool renumber_if_mismatched(Table& table);

struct Database {
    std::map<std::string, Table> tables;  // ordered by the names' bytes
};

// Stable merge sort over any comparator: the engine's sorts are all stable and
// sql_cmp is not transitive across text kinds, which std::sort cannot tolerate.
template <class T, class Less>
void stable_merge_sort(std::vector<T>& items, Less less);

}  // namespace zembrel

#include "types/stable_sort.h"
