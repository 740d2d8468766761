// JsonReader: a pull reader over one JSON text, for the catalog's records and
// everything else the engine stores as JSON (column definitions, values,
// spilled rows, the legacy database document).
//
// The text is scanned once, up front, by the JSON library's event (SAX)
// parser through an input adapter that tracks how far the scan has got. The
// events land in a flat token list (strings in one shared buffer, no tree);
// the typed readers then walk that list in document order. A syntax error
// becomes the last token, so a reader reports whichever problem comes first
// in the text: a wrong type early in the document wins over a syntax error
// behind it.
//
// Every error is a Storage EngineError whose text is a description followed
// by " at line {} column {}": line counted from 1, column = bytes consumed in
// that line (so the column of the last byte of the offending token).
//
// Nesting: a text with 128 arrays and objects open at once is rejected with
// "recursion limit exceeded"; the scanner's own stack is not recursive, so no
// input can exhaust the call stack.
//
// Ownership: the reader borrows `text` for its lifetime; string views it hands
// out stay valid while the reader lives. Not thread-safe; one reader per text.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types/error.h"

namespace zembrel {

enum class JsonToken : std::uint8_t {
    BeginObject, EndObject, BeginArray, EndArray,
    Key, String,
    Negative,  // an integer below zero (signed 64-bit)
    Unsigned,  // an integer from zero up (unsigned 64-bit)
    Float,     // a number with fraction or exponent, or an integer too large for 64 bits
    Bool, Null,
    End,       // after the document
    Error,     // a syntax error (or the nesting limit); nothing follows
};

struct JsonEvent {
    JsonToken kind = JsonToken::End;
    bool flag = false;          // Bool payload
    std::uint64_t end = 0;      // byte offset just past the token
    std::uint64_t text_at = 0;  // Key/String/Float: raw text in the reader's buffer
    std::uint64_t text_len = 0;
    union {
        std::int64_t i;
        std::uint64_t u;
        double f;
    } num{0};
};

// Shape of a record that may be written as an object (fields by key, in any
// order, unknown keys skipped) or as an array (fields by position).
struct RecordShape {
    std::string_view name;                      // "struct Column", for invalid type/length errors
    std::span<const std::string_view> fields;   // keys in declaration order
    std::uint64_t required = 0;                 // bit i: field i must be present in the object form
    std::size_t min_elements = 0;               // the array form needs at least this many elements
    // The array form holds only the first this many fields (0: all of them);
    // the later ones are read by key alone.
    std::size_t array_fields = 0;

    std::size_t array_len() const { return array_fields != 0 ? array_fields : fields.size(); }
};

// The opening of an enum written as "Name" (unit form) or {"Name": payload}.
struct VariantHead {
    std::string_view name;
    bool unit = false;  // bare string: there is no payload to read
};

class JsonReader {
public:
    static constexpr std::size_t kMaxDepth = 128;

    explicit JsonReader(std::string_view text);

    // ---- tokens -----------------------------------------------------------
    const JsonEvent& peek() const { return events_[cur_]; }
    // Moves past the current token; stays on End and Error.
    void advance();
    std::string_view text_of(const JsonEvent& e) const {
        return std::string_view(strings_).substr(e.text_at, e.text_len);
    }

    // ---- errors -----------------------------------------------------------
    // `description` positioned just past the last consumed token.
    EngineError error(std::string_view description) const;
    // `description` positioned just past `at`.
    EngineError error_at(const JsonEvent& at, std::string_view description) const;
    // For the current token, which should have started a value described by
    // `expected`: "invalid type: {found}, expected {expected}"; a syntax error
    // token yields its own message. Does not consume.
    EngineError invalid_type(std::string_view expected) const;
    // How the current token reads in messages: "integer `5`", "string \"a\"", "map".
    std::string describe_current() const;

    // ---- whole values -------------------------------------------------------
    Result<std::uint64_t> read_u64();
    Result<std::uint16_t> read_u16();
    Result<std::int64_t> read_i64();
    Result<double> read_f64();  // integers are converted
    Result<bool> read_bool();
    Result<std::string> read_string();
    Status read_null(std::string_view expected);  // "unit" in enum payloads
    // True and consumed when the current token is null.
    bool take_null();
    // Consumes one whole value of any kind.
    Status skip_value();
    // After the top-level value: only whitespace may remain ("trailing characters").
    Status finish();

    // ---- compounds --------------------------------------------------------
    // An array whose elements `each()` reads one at a time.
    template <class F>
    Status read_array(F&& each);
    // A record in object or array form; `read_field(i)` reads field i's value.
    // Object: duplicate keys are "duplicate field `{}`", the first missing
    // required field "missing field `{}`". Array: fewer than min_elements or
    // more than its fields is "invalid length {n}, expected {name} with {k} elements".
    template <class F>
    Status read_record(const RecordShape& shape, F&& read_field);
    // Opens an enum value; `what` names the enum for invalid type errors. For
    // the object form the single key is consumed and the caller reads the
    // payload, then calls end_variant().
    Result<VariantHead> begin_variant(std::string_view what);
    Status end_variant();
    // "unknown variant `{}`, expected one of `A`, `B`" at the variant's name.
    EngineError unknown_variant(std::string_view name, std::span<const std::string_view> known) const;

private:
    friend struct JsonScanSink;
    // Record helpers: begin returns true for the object form.
    Result<bool> begin_record(const RecordShape& shape);
    // Object form: the next field index, or fields.size() at the end. Skips unknown keys.
    Result<std::size_t> next_field(const RecordShape& shape, std::uint64_t& seen);
    Status end_object_record(const RecordShape& shape, std::uint64_t seen);
    Status end_array_record(const RecordShape& shape, std::size_t count);

    std::string_view text_;
    std::vector<JsonEvent> events_;
    std::string strings_;
    std::string error_text_;  // description of the Error token
    std::size_t cur_ = 0;
    std::uint64_t consumed_end_ = 0;  // end of the last consumed token
};

template <class F>
Status JsonReader::read_array(F&& each) {
    if (peek().kind != JsonToken::BeginArray) return fail(invalid_type("a sequence"));
    advance();
    while (peek().kind != JsonToken::EndArray) {
        if (peek().kind == JsonToken::Error || peek().kind == JsonToken::End) return fail(invalid_type("a value"));
        if (auto st = each(); !st) return st;
    }
    advance();
    return {};
}

template <class F>
Status JsonReader::read_record(const RecordShape& shape, F&& read_field) {
    auto is_object = begin_record(shape);
    if (!is_object) return fail(is_object.error());
    if (*is_object) {
        std::uint64_t seen = 0;
        for (;;) {
            auto field = next_field(shape, seen);
            if (!field) return fail(field.error());
            if (*field == shape.fields.size()) break;
            if (auto st = read_field(*field); !st) return st;
        }
        return end_object_record(shape, seen);
    }
    std::size_t count = 0;
    while (count < shape.array_len() && peek().kind != JsonToken::EndArray) {
        if (peek().kind == JsonToken::Error) return fail(invalid_type("a value"));
        if (auto st = read_field(count); !st) return st;
        ++count;
    }
    return end_array_record(shape, count);
}

}  // namespace zembrel
