// Values, rows, column types and columns (tables: types/table.h).
// Every type owns what it holds (a loaded table's rows may borrow texts from
// the table's own arena); copies are deep and own their texts.
#pragma once

#include <compare>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types/error.h"
#include "types/text_arena.h"

namespace zembrel {


// Kind numbers fix the order of the kinds (not the stored tags).
enum class ValueKind : unsigned char { Int = 0, Text = 1, Float = 2, Bool = 3, Null = 4, Uuid = 5, Date = 6, DateTime = 7 };

// A value in 16 bytes. Numbers and Bools sit in line; a text (Text, Uuid,
// Date, DateTime) sits in line up to kInlineText bytes, beyond that in one
// heap block the value owns, or borrowed from a TextArena whose owner keeps
// the value (made only by the explicit borrowing calls below). A borrowed text never leaves its
// owner implicitly: copying or moving a borrowing value gives an owning one.
class Value {
public:
    static constexpr size_t kInlineText = 14;
    // Where a text lives (Inline also for the kinds without a text).
    enum class TextStore : unsigned char { Inline, Heap, Borrowed };

    Value() = default;  // Null
    Value(const Value& o) : rep_(o.rep_), kind_(o.kind_) {
        std::memcpy(raw_, o.raw_, sizeof raw_);
        if (rep_ >= kHeap) own_copy(o.as_text());
    }
    Value(Value&& o) noexcept : rep_(o.rep_), kind_(o.kind_) {
        std::memcpy(raw_, o.raw_, sizeof raw_);
        if (rep_ == kBorrowed) own_copy(o.as_text());
        else if (rep_ == kHeap) o.rep_ = 0, o.kind_ = ValueKind::Null;
    }
    Value& operator=(const Value& o) {
        if (this != &o) { Value copy(o); swap_owning(copy); }
        return *this;
    }
    Value& operator=(Value&& o) noexcept {
        // In place rather than by a swap: a swap's partial copies of raw_
        // stall the loads that follow, and a walk assigns a value a key.
        if (this == &o) return *this;
        const char* held = rep_ == kHeap ? ext_ptr() : nullptr;  // freed last: `o` may borrow it
        std::memcpy(raw_, o.raw_, sizeof raw_);
        rep_ = o.rep_;
        kind_ = o.kind_;
        if (rep_ == kBorrowed) own_copy(o.as_text());
        else if (rep_ == kHeap) o.rep_ = 0, o.kind_ = ValueKind::Null;
        delete[] held;
        return *this;
    }
    ~Value() { if (rep_ == kHeap) delete[] ext_ptr(); }

    static Value null() { return Value(); }
    static Value integer(int64_t v) { Value x; x.kind_ = ValueKind::Int; std::memcpy(x.raw_, &v, 8); return x; }
    static Value floating(double v) { Value x; x.kind_ = ValueKind::Float; std::memcpy(x.raw_, &v, 8); return x; }
    static Value boolean(bool v) { Value x; x.kind_ = ValueKind::Bool; x.raw_[0] = v ? 1 : 0; return x; }
    static Value text(std::string_view s) { return with_text(ValueKind::Text, s); }
    static Value uuid(std::string_view s) { return with_text(ValueKind::Uuid, s); }
    static Value date(std::string_view s) { return with_text(ValueKind::Date, s); }
    static Value datetime(std::string_view s) { return with_text(ValueKind::DateTime, s); }
    // A text-carrying value of the given kind (Text, Uuid, Date or DateTime)
    // owning a copy of the text.
    static Value with_text(ValueKind k, std::string_view s) { Value x; x.kind_ = k; x.own_copy(s); return x; }
    // The same, but a text longer than kInlineText stays where it is: the
    // caller guarantees the bytes outlive the value and every place the
    // value is kept without a copy (a TextArena of the value's owner).
    // Since a move makes the value own its text, a borrowing value is made
    // in its place: `Value v = Value::borrowed(...)` or
    // `row.emplace_back(Value::lend, kind, text)`.
    static constexpr struct Lend {} lend{};
    Value(Lend, ValueKind k, std::string_view s) : kind_(k) {
        if (s.size() <= kInlineText) {
            own_copy(s);
            return;
        }
        set_ext(s.data(), s.size());
        rep_ = kBorrowed;
    }
    static Value borrowed(ValueKind k, std::string_view s) { return Value(lend, k, s); }
    // This value (dropped first) becomes one that reads as `o`, borrowing a
    // text `o` keeps outside itself: valid while `o` lives unchanged. For
    // images of cells kept beside their owner for a moment, without copying
    // their texts.
    void lend_from(const Value& o) {
        std::destroy_at(this);
        std::memcpy(raw_, o.raw_, sizeof raw_);
        kind_ = o.kind_;
        rep_ = o.rep_ >= kHeap ? kBorrowed : o.rep_;
    }
    // The same in the place of this value (which is dropped first): for
    // decoders filling cells their owner's arena backs.
    void reset_borrowed(ValueKind k, std::string_view s) {
        std::destroy_at(this);
        std::construct_at(this, lend, k, s);
    }
    // Moves `from` into `to` within one owner (cells moving in their owner's
    // array): a borrowed text stays borrowed, since the arena stays with the
    // owner. `from` is left Null.
    static void relocate(Value& to, Value& from) noexcept {
        if (&to == &from) return;
        if (to.rep_ == kHeap) delete[] to.ext_ptr();
        std::memcpy(to.raw_, from.raw_, sizeof to.raw_);
        to.rep_ = std::exchange(from.rep_, 0);
        to.kind_ = std::exchange(from.kind_, ValueKind::Null);
    }

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
    TextStore text_store() const {
        return rep_ == kHeap ? TextStore::Heap : rep_ == kBorrowed ? TextStore::Borrowed : TextStore::Inline;
    }

    // Payload accessors; calling one for another kind is a programming error.
    int64_t as_int() const { int64_t v; std::memcpy(&v, raw_, 8); return v; }
    double as_float() const { double v; std::memcpy(&v, raw_, 8); return v; }
    bool as_bool() const { return raw_[0] != 0; }
    // Valid while the value lives unchanged (and, borrowed, its arena).
    std::string_view as_text() const {
        if (rep_ <= kInlineText) return {reinterpret_cast<const char*>(raw_), rep_};
        return {ext_ptr(), ext_len()};
    }

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
    static bool key_prefix_exact(const Value& v) { return !v.has_text() || v.as_text().size() <= kPrefixTextBytes; }

    // Cell text, as result sets show it (Float 1.0 -> "1", Null -> "NULL").
    std::string display() const;
    // Diagnostic text used in messages: Int(5), Text("a"), Float(1.0), Null.
    std::string debug() const;

    // Structural equality (same kind, same payload; floats by bit pattern).
    bool operator==(const Value& o) const;

private:
    // rep_: the inline text's length (0..kInlineText), or one of these.
    static constexpr unsigned char kHeap = 0xFE;
    static constexpr unsigned char kBorrowed = 0xFF;

    const char* ext_ptr() const { const char* p; std::memcpy(&p, raw_, sizeof p); return p; }
    uint32_t ext_len() const { uint32_t n; std::memcpy(&n, raw_ + 8, 4); return n; }
    void set_ext(const char* p, size_t n) {
        const auto len = static_cast<uint32_t>(n);
        std::memcpy(raw_, &p, sizeof p);
        std::memcpy(raw_ + 8, &len, 4);
    }
    // Makes this value own a copy of s (in line when it fits); rep_ and
    // raw_ are overwritten without freeing what they held.
    void own_copy(std::string_view s);
    void swap_owning(Value& o) noexcept {
        unsigned char r[sizeof raw_];
        std::memcpy(r, raw_, sizeof r);
        std::memcpy(raw_, o.raw_, sizeof r);
        std::memcpy(o.raw_, r, sizeof r);
        std::swap(rep_, o.rep_);
        std::swap(kind_, o.kind_);
    }

    alignas(8) unsigned char raw_[kInlineText] = {};
    unsigned char rep_ = 0;
    ValueKind kind_ = ValueKind::Null;
};
static_assert(sizeof(Value) == 16);

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

// Stable merge sort over any comparator: the engine's sorts are all stable and
// sql_cmp is not transitive across text kinds, which std::sort cannot tolerate.
template <class T, class Less>
void stable_merge_sort(std::vector<T>& items, Less less);

}  // namespace zembrel

#include "types/stable_sort.h"
