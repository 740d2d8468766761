#include "storage/row_record.h"

#include <bit>
#include <cstring>
#include <string_view>

#include "types/text_format.h"
#include "types/utf8.h"

namespace zembrel::storage {

namespace {

void put_le(Bytes& out, std::uint64_t v, int bytes) {
    // One growth check per number, not per byte.
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(bytes));
    for (int i = 0; i < bytes; ++i) out[at + static_cast<size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t get_le(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::uint8_t record_tag(ValueKind k) {
    switch (k) {
        case ValueKind::Null: return 0;
        case ValueKind::Int: return 1;
        case ValueKind::Float: return 2;
        case ValueKind::Bool: return 3;
        case ValueKind::Text: return 4;
        case ValueKind::Uuid: return 5;
        case ValueKind::Date: return 6;
        case ValueKind::DateTime: return 7;
    }
    return 0;
}

std::unexpected<EngineError> eof() { return storage_error("unexpected end of file"); }

}  // namespace

Status encode_value(Bytes& out, const Value& value) {
    if (value.has_text() && value.as_text().size() > kMaxRecordText)
        return storage_error(format("text of {} bytes is too long to store (limit 4294967295)", value.as_text().size()));
    out.push_back(record_tag(value.kind()));
    switch (value.kind()) {
        case ValueKind::Null: break;
        case ValueKind::Int: put_le(out, static_cast<std::uint64_t>(value.as_int()), 8); break;
        case ValueKind::Float: put_le(out, std::bit_cast<std::uint64_t>(value.as_float()), 8); break;
        case ValueKind::Bool: out.push_back(value.as_bool() ? 1 : 0); break;
        default: {
            const std::string_view s = value.as_text();
            put_le(out, s.size(), 4);
            out.insert(out.end(), s.begin(), s.end());
        }
    }
    return {};
}

Status encode_row_into(Bytes& out, std::span<const Value> row) {
    if (row.size() > kMaxRecordValues)
        return storage_error(format("row of {} values is too long to store (limit 65535)", row.size()));
    const size_t start = out.size();
    put_le(out, row.size(), 2);
    for (const Value& v : row) {
        if (auto st = encode_value(out, v); !st) {
            out.resize(start);
            return st;
        }
    }
    return {};
}

Result<Bytes> encode_row(std::span<const Value> row) {
    Bytes out;
    out.reserve(4096);
    if (auto st = encode_row_into(out, row); !st) return fail(std::move(st.error()));
    return out;
}

Result<std::uint64_t> encoded_row_size(std::span<const Value> row) {
    if (row.size() > kMaxRecordValues)
        return storage_error(format("row of {} values is too long to store (limit 65535)", row.size()));
    std::uint64_t size = 2;
    for (const Value& v : row) {
        size += 1;
        if (v.has_text()) {
            if (v.as_text().size() > kMaxRecordText)
                return storage_error(
                    format("text of {} bytes is too long to store (limit 4294967295)", v.as_text().size()));
            size += 4 + v.as_text().size();
        } else if (v.is_int() || v.is_float()) {
            size += 8;
        } else if (v.is_bool()) {
            size += 1;
        }
    }
    return size;
}

Result<std::string> decode_string(Cursor& c) {
    if (c.remaining() < 4) return eof();
    std::uint64_t len = get_le(c.bytes.data() + c.pos, 4);
    if (c.remaining() - 4 < len) return eof();
    std::string s(reinterpret_cast<const char*>(c.bytes.data() + c.pos + 4), static_cast<size_t>(len));
    if (auto err = utf8_error(s)) return storage_error("invalid UTF-8: " + *err);
    c.pos += 4 + static_cast<size_t>(len);
    return s;
}

Result<Value> decode_value(Cursor& c) {
    if (c.remaining() < 1) return eof();
    std::uint8_t tag = c.bytes[c.pos];
    const std::uint8_t* p = c.bytes.data() + c.pos + 1;
    switch (tag) {
        case 0: c.pos += 1; return Value::null();
        case 1:
            if (c.remaining() < 9) return eof();
            c.pos += 9;
            return Value::integer(static_cast<std::int64_t>(get_le(p, 8)));
        case 2:
            if (c.remaining() < 9) return eof();
            c.pos += 9;
            return Value::floating(std::bit_cast<double>(get_le(p, 8)));
        case 3:
            if (c.remaining() < 2) return eof();
            c.pos += 2;
            return Value::boolean(*p != 0);
        case 4: case 5: case 6: case 7: {
            Cursor inner{c.bytes, c.pos + 1};
            auto s = decode_string(inner);
            if (!s) return fail(std::move(s.error()));
            c.pos = inner.pos;
            static constexpr ValueKind kinds[] = {ValueKind::Text, ValueKind::Uuid, ValueKind::Date, ValueKind::DateTime};
            return Value::with_text(kinds[tag - 4], std::move(*s));
        }
        default: return storage_error(format("invalid value tag: {}", static_cast<unsigned>(tag)));
    }
}

namespace {

bool all_ascii(const std::uint8_t* p, size_t n) {
    std::uint64_t seen = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        seen |= word;
    }
    for (; i < n; ++i) seen |= p[i];
    return (seen & 0x8080808080808080ULL) == 0;
}

// decode_value into the place `slot()` gives (asked for only once the value
// has passed its checks), for the row decoders: the same checks and texts,
// without a Value passing through a Result on its way into the row. With an
// arena, texts too long to sit in line go there and are borrowed.
template <class Slot>
Status decode_value_with(Cursor& c, Slot&& slot, TextArena* arena) {
    auto put = [&slot](Value v) { slot() = std::move(v); };
    if (c.remaining() < 1) return eof();
    const std::uint8_t tag = c.bytes[c.pos];
    const std::uint8_t* p = c.bytes.data() + c.pos + 1;
    switch (tag) {
        case 0: c.pos += 1; put(Value()); return {};
        case 1:
            if (c.remaining() < 9) return eof();
            c.pos += 9;
            put(Value::integer(static_cast<std::int64_t>(get_le(p, 8))));
            return {};
        case 2:
            if (c.remaining() < 9) return eof();
            c.pos += 9;
            put(Value::floating(std::bit_cast<double>(get_le(p, 8))));
            return {};
        case 3:
            if (c.remaining() < 2) return eof();
            c.pos += 2;
            put(Value::boolean(*p != 0));
            return {};
        case 4: case 5: case 6: case 7: {
            if (c.remaining() - 1 < 4) return eof();
            const std::uint64_t len = get_le(p, 4);
            if (c.remaining() - 5 < len) return eof();
            const auto* text = reinterpret_cast<const char*>(p + 4);
            const auto n = static_cast<size_t>(len);
            if (!all_ascii(p + 4, n)) {
                if (auto err = utf8_error(std::string_view(text, n))) return storage_error("invalid UTF-8: " + *err);
            }
            static constexpr ValueKind kinds[] = {ValueKind::Text, ValueKind::Uuid, ValueKind::Date, ValueKind::DateTime};
            const std::string_view view(text, n);
            if (arena != nullptr && n > Value::kInlineText)
                slot().reset_borrowed(kinds[tag - 4], arena->store(view));
            else
                put(Value::with_text(kinds[tag - 4], view));
            c.pos += 5 + n;
            return {};
        }
        default: return storage_error(format("invalid value tag: {}", static_cast<unsigned>(tag)));
    }
}

}  // namespace

Result<Row> decode_row(ByteView bytes) {
    Row row;
    if (auto st = decode_row_into(bytes, row); !st) return fail(std::move(st.error()));
    return row;
}

Status decode_row_into(ByteView bytes, Row& row, TextArena* arena) {
    row.clear();
    if (bytes.size() < 2) return eof();
    size_t count = static_cast<size_t>(get_le(bytes.data(), 2));
    Cursor c{bytes, 2};
    // Each value takes at least one byte, so a count beyond what is left is
    // already known to fail; do not reserve for it.
    row.reserve(std::min(count, c.remaining()));
    for (size_t i = 0; i < count; ++i) {
        if (auto st = decode_value_with(c, [&row]() -> Value& { return row.emplace_back(); }, arena); !st) return st;
    }
    return {};
}

std::optional<size_t> row_value_count(ByteView bytes) {
    if (bytes.size() < 2) return std::nullopt;
    return static_cast<size_t>(get_le(bytes.data(), 2));
}

Status decode_row_cells(ByteView bytes, std::span<Value> cells, TextArena* arena) {
    if (row_value_count(bytes) != cells.size()) invariant_failed("row record decoded into cells of another count");
    Cursor c{bytes, 2};
    for (Value& cell : cells) {
        if (auto st = decode_value_with(c, [&cell]() -> Value& { return cell; }, arena); !st) return st;
    }
    return {};
}

}  // namespace zembrel::storage
