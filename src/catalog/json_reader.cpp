#include "catalog/json_reader.h"

#include <iterator>
#include <nlohmann/json.hpp>

#include "types/text_format.h"
#include "types/utf8.h"

namespace zembrel {

namespace {

// Byte iterator for the JSON library's input adapter that publishes how far
// the library has read, so each event can be given its place in the text.
struct TrackingIterator {
    using iterator_category = std::forward_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    const char* p = nullptr;
    const char** furthest = nullptr;

    reference operator*() const { return *p; }
    TrackingIterator& operator++() {
        ++p;
        if (p > *furthest) *furthest = p;
        return *this;
    }
    TrackingIterator operator++(int) {
        TrackingIterator old = *this;
        ++*this;
        return old;
    }
    bool operator==(const TrackingIterator& o) const { return p == o.p; }
};

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_number_char(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// The library's message without its "[json.exception...] parse error at line
// L, column C: " prefix (this reader adds its own position).
std::string library_description(const char* what) {
    std::string_view s(what);
    size_t col = s.find("column ");
    if (col != std::string_view::npos) {
        size_t colon = s.find(": ", col);
        if (colon != std::string_view::npos) return std::string(s.substr(colon + 2));
    }
    size_t bracket = s.find("] ");
    if (bracket != std::string_view::npos) return std::string(s.substr(bracket + 2));
    return std::string(s);
}

}  // namespace

// Receives the library's events and appends them to the reader's token list.
struct JsonScanSink {
    using json = nlohmann::json;
    using number_integer_t = json::number_integer_t;
    using number_unsigned_t = json::number_unsigned_t;
    using number_float_t = json::number_float_t;
    using string_t = json::string_t;
    using binary_t = json::binary_t;

    JsonReader& r;
    const char* begin;
    const char* furthest;
    std::size_t depth = 0;

    std::uint64_t consumed() const { return static_cast<std::uint64_t>(furthest - begin); }

    JsonEvent& push(JsonToken kind) {
        JsonEvent e;
        e.kind = kind;
        e.end = consumed();
        r.events_.push_back(e);
        return r.events_.back();
    }
    void attach_text(JsonEvent& e, std::string_view s) {
        e.text_at = r.strings_.size();
        e.text_len = s.size();
        r.strings_.append(s);
    }
    // A number is only known to have ended once the scanner has read the byte
    // after it; that byte is not part of the token.
    void fix_number_end(JsonEvent& e) {
        if (e.end > 0 && !is_number_char(begin[e.end - 1])) --e.end;
    }

    bool null() { push(JsonToken::Null); return true; }
    bool boolean(bool v) { push(JsonToken::Bool).flag = v; return true; }
    bool number_integer(number_integer_t v) {
        JsonEvent& e = push(v < 0 ? JsonToken::Negative : JsonToken::Unsigned);
        e.num.i = v;
        fix_number_end(e);
        return true;
    }
    bool number_unsigned(number_unsigned_t v) {
        JsonEvent& e = push(JsonToken::Unsigned);
        e.num.u = v;
        fix_number_end(e);
        return true;
    }
    bool number_float(number_float_t v, const string_t& raw) {
        JsonEvent& e = push(JsonToken::Float);
        e.num.f = v;
        fix_number_end(e);
        attach_text(e, raw);
        return true;
    }
    bool string(string_t& s) { attach_text(push(JsonToken::String), s); return true; }
    bool key(string_t& s) { attach_text(push(JsonToken::Key), s); return true; }
    bool binary(binary_t&) { return fail_here("binary values are not JSON", consumed()); }
    bool start_object(std::size_t) { return open(JsonToken::BeginObject); }
    bool end_object() { --depth; push(JsonToken::EndObject); return true; }
    bool start_array(std::size_t) { return open(JsonToken::BeginArray); }
    bool end_array() { --depth; push(JsonToken::EndArray); return true; }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
        if (r.events_.empty() && r.text_.find_first_not_of(" \t\n\r") == std::string_view::npos)
            return fail_here("EOF while parsing a value", position);
        return fail_here(library_description(ex.what()), position);
    }

    bool open(JsonToken kind) {
        if (++depth >= JsonReader::kMaxDepth) return fail_here("recursion limit exceeded", consumed());
        push(kind);
        return true;
    }
    bool fail_here(std::string description, std::uint64_t position) {
        std::uint64_t size = static_cast<std::uint64_t>(r.text_.size());
        JsonEvent e;
        e.kind = JsonToken::Error;
        e.end = position < size ? position : size;
        r.events_.push_back(e);
        r.error_text_ = std::move(description);
        return false;
    }
};

JsonReader::JsonReader(std::string_view text) : text_(text) {
    JsonScanSink sink{*this, text.data(), text.data()};
    // The library passes over a leading byte-order mark; JSON has none.
    if (text.starts_with("\xEF\xBB\xBF")) {
        sink.fail_here("expected value", 1);
        return;
    }
    TrackingIterator first{text.data(), &sink.furthest};
    TrackingIterator last{text.data() + text.size(), &sink.furthest};
    // Not strict: the scan stops after the first value, and what follows is
    // judged here so that the error can say what it is.
    bool ok = nlohmann::json::sax_parse(first, last, &sink, nlohmann::json::input_format_t::json, false, false);
    if (ok) {
        std::uint64_t after = events_.empty() ? 0 : events_.back().end;
        while (after < text.size() && is_json_space(text[after])) ++after;
        if (after < text.size()) {
            sink.fail_here("trailing characters", after + 1);
        } else {
            JsonEvent e;
            e.kind = JsonToken::End;
            e.end = text.size();
            events_.push_back(e);
        }
    } else if (events_.empty() || events_.back().kind != JsonToken::Error) {
        sink.fail_here("invalid JSON", sink.consumed());
    }
}

void JsonReader::advance() {
    JsonToken k = events_[cur_].kind;
    if (k == JsonToken::End || k == JsonToken::Error) return;
    consumed_end_ = events_[cur_].end;
    ++cur_;
}

EngineError JsonReader::error_at(const JsonEvent& at, std::string_view description) const {
    std::uint64_t offset = at.end < text_.size() ? at.end : text_.size();
    std::uint64_t line = 1;
    std::uint64_t line_start = 0;
    for (std::uint64_t i = 0; i < offset; ++i) {
        if (text_[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return EngineError::storage(format("{} at line {} column {}", description, line, offset - line_start));
}

EngineError JsonReader::error(std::string_view description) const {
    JsonEvent at;
    at.end = consumed_end_;
    return error_at(at, description);
}

std::string JsonReader::describe_current() const {
    const JsonEvent& t = peek();
    switch (t.kind) {
        case JsonToken::BeginObject: return "map";
        case JsonToken::BeginArray: return "sequence";
        case JsonToken::EndObject: return "end of map";
        case JsonToken::EndArray: return "end of sequence";
        case JsonToken::Key:
        case JsonToken::String: return "string " + quoted_debug_text(text_of(t));
        case JsonToken::Negative: return format("integer `{}`", t.num.i);
        case JsonToken::Unsigned: return format("integer `{}`", t.num.u);
        case JsonToken::Float: return format("floating point `{}`", text_of(t));
        case JsonToken::Bool: return t.flag ? "boolean `true`" : "boolean `false`";
        case JsonToken::Null: return "null";
        case JsonToken::End: return "end of input";
        case JsonToken::Error: return "invalid JSON";
    }
    return "invalid JSON";
}

EngineError JsonReader::invalid_type(std::string_view expected) const {
    const JsonEvent& t = peek();
    if (t.kind == JsonToken::Error) return error_at(t, error_text_);
    if (t.kind == JsonToken::End) return error_at(t, "EOF while parsing a value");
    return error_at(t, format("invalid type: {}, expected {}", describe_current(), expected));
}

Result<std::uint64_t> JsonReader::read_u64() {
    const JsonEvent& t = peek();
    if (t.kind == JsonToken::Unsigned) {
        std::uint64_t v = t.num.u;
        advance();
        return v;
    }
    if (t.kind == JsonToken::Negative) return fail(error_at(t, format("invalid value: integer `{}`, expected u64", t.num.i)));
    return fail(invalid_type("u64"));
}

Result<std::uint16_t> JsonReader::read_u16() {
    const JsonEvent& t = peek();
    if (t.kind == JsonToken::Unsigned && t.num.u <= 0xFFFF) {
        auto v = static_cast<std::uint16_t>(t.num.u);
        advance();
        return v;
    }
    if (t.kind == JsonToken::Unsigned) return fail(error_at(t, format("invalid value: integer `{}`, expected u16", t.num.u)));
    if (t.kind == JsonToken::Negative) return fail(error_at(t, format("invalid value: integer `{}`, expected u16", t.num.i)));
    return fail(invalid_type("u16"));
}

Result<std::int64_t> JsonReader::read_i64() {
    const JsonEvent& t = peek();
    if (t.kind == JsonToken::Negative) {
        std::int64_t v = t.num.i;
        advance();
        return v;
    }
    if (t.kind == JsonToken::Unsigned) {
        if (t.num.u > static_cast<std::uint64_t>(INT64_MAX))
            return fail(error_at(t, format("invalid value: integer `{}`, expected i64", t.num.u)));
        auto v = static_cast<std::int64_t>(t.num.u);
        advance();
        return v;
    }
    return fail(invalid_type("i64"));
}

Result<double> JsonReader::read_f64() {
    const JsonEvent& t = peek();
    double v;
    switch (t.kind) {
        case JsonToken::Float: v = t.num.f; break;
        case JsonToken::Negative: v = static_cast<double>(t.num.i); break;
        case JsonToken::Unsigned: v = static_cast<double>(t.num.u); break;
        default: return fail(invalid_type("f64"));
    }
    advance();
    return v;
}

Result<bool> JsonReader::read_bool() {
    const JsonEvent& t = peek();
    if (t.kind != JsonToken::Bool) return fail(invalid_type("a boolean"));
    bool v = t.flag;
    advance();
    return v;
}

Result<std::string> JsonReader::read_string() {
    const JsonEvent& t = peek();
    if (t.kind != JsonToken::String) return fail(invalid_type("a string"));
    std::string v(text_of(t));
    advance();
    return v;
}

Status JsonReader::read_null(std::string_view expected) {
    if (peek().kind != JsonToken::Null) return fail(invalid_type(expected));
    advance();
    return {};
}

bool JsonReader::take_null() {
    if (peek().kind != JsonToken::Null) return false;
    advance();
    return true;
}

Status JsonReader::skip_value() {
    std::size_t depth = 0;
    do {
        switch (peek().kind) {
            case JsonToken::BeginObject:
            case JsonToken::BeginArray: ++depth; break;
            case JsonToken::EndObject:
            case JsonToken::EndArray:
                if (depth == 0) return fail(invalid_type("a value"));
                --depth;
                break;
            case JsonToken::Key: break;
            case JsonToken::End:
            case JsonToken::Error: return fail(invalid_type("a value"));
            default: break;
        }
        advance();
    } while (depth > 0);
    return {};
}

Status JsonReader::finish() {
    const JsonEvent& t = peek();
    if (t.kind == JsonToken::End) return {};
    if (t.kind == JsonToken::Error) return fail(error_at(t, error_text_));
    return fail(error_at(t, "trailing characters"));
}

Result<bool> JsonReader::begin_record(const RecordShape& shape) {
    JsonToken k = peek().kind;
    if (k != JsonToken::BeginObject && k != JsonToken::BeginArray) return fail(invalid_type(shape.name));
    advance();
    return k == JsonToken::BeginObject;
}

Result<std::size_t> JsonReader::next_field(const RecordShape& shape, std::uint64_t& seen) {
    for (;;) {
        const JsonEvent& t = peek();
        if (t.kind == JsonToken::EndObject) return shape.fields.size();
        if (t.kind != JsonToken::Key) return fail(invalid_type("a field name"));
        std::string_view key = text_of(t);
        std::size_t i = 0;
        while (i < shape.fields.size() && shape.fields[i] != key) ++i;
        if (i == shape.fields.size()) {
            advance();
            if (auto st = skip_value(); !st) return fail(st.error());
            continue;
        }
        if (seen & (std::uint64_t{1} << i)) return fail(error_at(t, format("duplicate field `{}`", key)));
        seen |= std::uint64_t{1} << i;
        advance();
        return i;
    }
}

Status JsonReader::end_object_record(const RecordShape& shape, std::uint64_t seen) {
    advance();  // the closing brace
    for (std::size_t i = 0; i < shape.fields.size(); ++i) {
        std::uint64_t bit = std::uint64_t{1} << i;
        if ((shape.required & bit) && !(seen & bit)) return fail(error(format("missing field `{}`", shape.fields[i])));
    }
    return {};
}

Status JsonReader::end_array_record(const RecordShape& shape, std::size_t count) {
    const std::size_t n = shape.array_len();
    const char* noun = n == 1 ? "element" : "elements";
    if (peek().kind == JsonToken::EndArray) {
        advance();
        if (count < shape.min_elements)
            return fail(error(format("invalid length {}, expected {} with {} {}", count, shape.name, n, noun)));
        return {};
    }
    // Extra elements: count them all so the message says how many there were.
    while (peek().kind != JsonToken::EndArray) {
        if (auto st = skip_value(); !st) return st;
        ++count;
    }
    advance();
    return fail(error(format("invalid length {}, expected {} with {} {}", count, shape.name, n, noun)));
}

Result<VariantHead> JsonReader::begin_variant(std::string_view what) {
    const JsonEvent& t = peek();
    if (t.kind == JsonToken::String) {
        VariantHead h{text_of(t), true};
        advance();
        return h;
    }
    if (t.kind != JsonToken::BeginObject) return fail(invalid_type(what));
    advance();
    const JsonEvent& k = peek();
    if (k.kind == JsonToken::EndObject) {
        advance();
        return fail(error(format("invalid type: map with no keys, expected {}", what)));
    }
    if (k.kind != JsonToken::Key) return fail(invalid_type(what));
    VariantHead h{text_of(k), false};
    advance();
    return h;
}

Status JsonReader::end_variant() {
    const JsonEvent& t = peek();
    if (t.kind == JsonToken::EndObject) {
        advance();
        return {};
    }
    if (t.kind == JsonToken::Key) return fail(error_at(t, "invalid length: expected map with a single key"));
    return fail(invalid_type("end of map"));
}

EngineError JsonReader::unknown_variant(std::string_view name, std::span<const std::string_view> known) const {
    std::string list;
    for (std::size_t i = 0; i < known.size(); ++i) {
        if (i > 0) list += ", ";
        list += format("`{}`", known[i]);
    }
    return error(format("unknown variant `{}`, expected one of {}", name, list));
}

}  // namespace zembrel
